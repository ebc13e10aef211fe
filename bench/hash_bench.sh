#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What each hash scheme costs: one whole password change at 1,000 users, the
# CGI process with `hash` (and `hash_cost`) set, beside htpasswd making the
# same kind of hash on an identical copy of the file. Every pair runs
# alternately, round by round, each on a fresh copy. The old password is an
# Apache MD5 hash throughout, so the difference is the new hash alone.
# Reports median, p90 and max of the wall time, and the median CPU time (user
# and system), which a busy machine disturbs far less, as a Markdown table.
# Usage: bench/hash_bench.sh [--rounds N] [--users N]
# Results land in bench/results/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib/outputs.sh"
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
rounds=21
users=1000
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --users) users=$2; shift ;;
    *) echo "usage: $0 [--rounds N] [--users N]" >&2; exit 2 ;;
  esac
  shift
done

bench_build "$build"
cgi=$build/larkspur.cgi
timer=$build/bench/bench_time

bench_outputs hash
mkdir -p "$work/tmp" "$work/cgi" "$work/htpasswd"

old='old-secret'
new='new-secret'
src=$work/users
hashes=()
for _ in $(seq 16); do hashes+=("$(htpasswd -nbm x "$old" | cut -d: -f2-)"); done
awk -v n="$users" -v list="${hashes[*]}" 'BEGIN {
  split(list, h, " ")
  for (i = 0; i < n; i++) printf "user%07d:%s\n", i, h[i % 16 + 1]
}' >"$src"
user=$(printf 'user%07d' $((users - 1)))
body="name=$user&op=$old&p1=$new&p2=$new&chgpasswd=Change"
printf '%s' "$body" >"$work/body"

# label | [setup] lines | htpasswd flags | prefix of the hash written
schemes=(
  "md5||-m|\$apr1\$"
  "bcrypt|hash=bcrypt|-B|\$2y\$05\$"
  "bcrypt cost 10|hash=bcrypt\nhash_cost=10|-B -C 10|\$2y\$10\$"
  "sha256|hash=sha256|-2|\$5\$"
  "sha512|hash=sha512|-5|\$6\$"
  "yescrypt|hash=yescrypt||\$y\$"
)

fresh() {
  rm -f "$2" "$2.tmp"
  cp "$1" "$2"
  sync "$2"
}

# median of the numbers on standard input, in ms
median_ms() {
  sort -n | awk '{ v[NR] = $1 } END {
    printf "%.1f", ((NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1000
  }'
}

# median, p90 (nearest rank) and max of the numbers on standard input, in ms
stats() {
  sort -n | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    p = v[int(0.9 * NR + 0.999999)]
    printf "%.1f / %.1f / %.1f", m / 1000, p / 1000, v[NR] / 1000
  }'
}

printf 'scheme\tcommand\tround\twall_us\tcpu_us\n' >"$raw"
for entry in "${schemes[@]}"; do
  IFS='|' read -r label setup flags prefix <<<"$entry"
  printf '[path]\nauth_user_file=%s\n[setup]\n%b\n' "$work/cgi/users" "$setup" \
    >"$work/cgi/larkspur.cgi.ini"
  commands=(larkspur)
  [ -n "$flags" ] && commands+=(htpasswd)
  for i in $(seq "$rounds"); do
    for k in $(seq 0 $((${#commands[@]} - 1))); do
      name=${commands[(i + k) % ${#commands[@]}]}
      if [ "$name" = larkspur ]; then
        fresh "$src" "$work/cgi/users"
        (
          cd "$work/cgi"
          export TMPDIR=$work/tmp REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/larkspur.cgi \
            REMOTE_ADDR=127.0.0.1 CONTENT_TYPE=application/x-www-form-urlencoded \
            CONTENT_LENGTH=${#body}
          "$timer" "$work/t" "$cgi" <"$work/body" >"$work/out"
        )
        grep -q "$user:changed password successfully" "$work/out" ||
          { echo "$label: no change:" >&2; cat "$work/out" >&2; exit 1; }
        copy=$work/cgi/users
      else
        fresh "$src" "$work/htpasswd/users"
        # shellcheck disable=SC2086 # the flags are words
        TMPDIR=$work/tmp "$timer" "$work/t" htpasswd -b $flags "$work/htpasswd/users" "$user" \
          "$new" >/dev/null 2>&1
        copy=$work/htpasswd/users
      fi
      read -r us _ status cpu <"$work/t"
      rm -f "$work/t"
      [ "$status" = 0 ] || { echo "$label: $name exited with $status" >&2; exit 1; }
      printf '%s\t%s\t%s\t%s\t%s\n' "$label" "$name" "$i" "$us" "$cpu" >>"$raw"
      if [ "$i" = 1 ]; then
        htpasswd -vb "$copy" "$user" "$new" >/dev/null 2>&1 ||
          { echo "$label: $name: the new password does not verify" >&2; exit 1; }
        if [ "$name" = larkspur ]; then
          grep -qF "$user:$prefix" "$copy" ||
            { echo "$label: the hash is not $prefix: $(grep "^$user:" "$copy")" >&2; exit 1; }
        fi
      fi
    done
  done
done

{
  echo "| Scheme | larkspur.cgi wall, ms (median / p90 / max) | CPU, ms | htpasswd | wall, ms (median / p90 / max) | CPU, ms |"
  echo "|---|---:|---:|---|---:|---:|"
  for entry in "${schemes[@]}"; do
    IFS='|' read -r label _ flags _ <<<"$entry"
    col() { awk -F'\t' -v s="$label" -v c="$1" -v f="$2" '$1 == s && $2 == c { print $f }' "$raw"; }
    ht="| - | - | - |"
    [ -n "$flags" ] && ht="| \`htpasswd $flags\` | $(col htpasswd 4 | stats) | $(col htpasswd 5 | median_ms) |"
    echo "| $label | $(col larkspur 4 | stats) | $(col larkspur 5 | median_ms) $ht"
  done
  echo
  echo "$rounds changes of the last of $users users per command, run alternately on fresh," \
    "synced copies; Release build, $(nproc) cores, $(uname -sr)," \
    "load average before the run $load. htpasswd has no yescrypt."
} >"$table"
cat "$table"
echo "raw figures: $raw" >&2
