#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One change of a DBM user file, timed as one process: a whole change
# through larkspur.cgi on the DBM file (confined; lock, look up, verify,
# private copy, change through APR-util, fsync, rename, fsync the directory)
# beside `htdbm -b`, which changes the same user in place with no copy and no
# fsync, and beside the same request on an AuthUserFile of as many users
# (the file store). The commands take turns
# round by round on their own files in $TMPDIR; each round changes the last
# user, back and forth.
#
# Reports median, p90 and maximum wall time and peak RSS per command at
# 1,000 and 1,000,000 users for the types db and gdbm.
# Goals: at 1M users the DBM change no slower than the file store's, peak RSS
# under 16 MiB (exit status 1 when missed).
# Usage: bench/dbm_bench.sh [--rounds N] [--sizes LIST] [--types LIST]
# Results land in bench/results/ (or $LARKSPUR_BENCH_RESULTS): the raw
# figures, the table and a plot of the medians against the users (by gnuplot).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib/outputs.sh"
. "$root/bench/lib/plot.sh"
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
rounds=11
sizes="1000 1000000"
types="db gdbm"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --sizes) sizes=$2; shift ;;
    --types) types=$2; shift ;;
    *) echo "usage: $0 [--rounds N] [--sizes LIST] [--types LIST]" >&2; exit 2 ;;
  esac
  shift
done

bench_targets=(dbm_tool)
bench_build "$build"
cgi=$build/larkspur.cgi
timer=$build/bench/bench_time
tool=$build/bench/dbm_tool

bench_outputs dbm
mkdir -p "$work/tmp"

old='old-secret'
new='new-secret'
hash_old=$(htpasswd -nbm x "$old" | cut -d: -f2-)

boundary=----WebKitFormBoundaryq3Hx7bT2mZ9cLw4K
make_body() {
  local kv
  for kv in "name=$1" "op=$2" "p1=$3" "p2=$3" "chgpasswd=Change"; do
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' \
      "$boundary" "${kv%%=*}" "${kv#*=}"
  done
  printf -- '--%s--\r\n' "$boundary"
}

# The file store's AuthUserFile: N users with the same hash as the DBM files.
make_text() {
  awk -v n="$1" -v h="$hash_old" 'BEGIN { for (i = 0; i < n; i++) printf "user%07d:%s\n", i, h }'
}

printf 'type\tusers\tcommand\tround\twall_us\tpeak_rss_kib\n' >"$raw"
for n in $sizes; do
  user=$(printf 'user%07d' $((n - 1)))
  mkdir -p "$work/file$n"
  make_text "$n" >"$work/file$n/users"
  printf '[path]\nauth_user_file=%s\n[setup]\npassword_min_length=1\n' \
    "$work/file$n/users" >"$work/file$n/larkspur.cgi.ini"
  for type in $types; do
    for name in larkspur htdbm; do
      mkdir -p "$work/$type$n/$name"
      "$tool" make "$type" "$work/$type$n/$name/users" "$n"
      # The user the rounds change, with the old password's hash.
      "$tool" change "$type" "$work/$type$n/$name/users" "$user" "$hash_old"
    done
    printf '[dbm]\nfile=%s\ntype=%s\n[setup]\npassword_min_length=1\n' \
      "$work/$type$n/larkspur/users" "$type" >"$work/$type$n/larkspur/larkspur.cgi.ini"
  done
  sync
  for i in $(seq 1 "$rounds"); do
    if [ $((i % 2)) = 1 ]; then from=$old to=$new; else from=$new to=$old; fi
    for type in $types file; do
      for name in larkspur htdbm; do
        [ "$type" = file ] && [ "$name" = htdbm ] && continue
        t=$work/t
        rm -f "$t"
        case $type/$name in
          file/* | */larkspur)
            site=$work/$type$n/larkspur
            [ "$type" = file ] && site=$work/file$n
            make_body "$user" "$from" "$to" >"$work/body"
            (cd "$site" && CONTENT_LENGTH=$(stat -c %s "$work/body") TMPDIR=$work/tmp \
              REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/larkspur.cgi REMOTE_ADDR=127.0.0.1 \
              CONTENT_TYPE="multipart/form-data; boundary=$boundary" \
              "$timer" "$t" "$cgi" <"$work/body" >"$t.out")
            grep -q "$user:changed password successfully" "$t.out" ||
              { echo "$type: larkspur.cgi did not change the password" >&2; exit 1; } ;;
          */htdbm)
            "$timer" "$t" htdbm -b -T "$type" "$work/$type$n/$name/users" "$user" "$to" \
              >/dev/null 2>&1 ;;
        esac
        read -r us kib status _ <"$t"
        [ "$status" = 0 ] || { echo "$type $name exited with $status" >&2; exit 1; }
        [ "$type" = file ] && name=larkspur.cgi
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$type" "$n" "$name" "$i" "$us" "$kib" >>"$raw"
        if [ "$i" = 1 ] && [ "$type" != file ]; then
          htdbm -vb -T "$type" "$work/$type$n/${name}/users" "$user" "$to" >/dev/null 2>&1 ||
            { echo "$type $name: the new password does not verify" >&2; exit 1; }
        fi
      done
    done
  done
done

# median p90 max (ms) and the largest peak RSS (MiB) of one command.
stats() {
  awk -F'\t' -v t="$1" -v n="$2" -v c="$3" 'NR > 1 && $1 == t && $2 == n && $3 == c {
    print $5 "\t" $6 }' "$raw" | sort -n | awk -F'\t' '{ v[NR] = $1; if ($2 > k) k = $2 } END {
      p = int(NR * 0.9 + 0.999); if (p < 1) p = 1
      m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.1f\t%.1f\t%.1f\t%.1f\n", m / 1000, v[p] / 1000, v[NR] / 1000, k / 1024 }'
}

{
  echo "# One DBM change, $rounds rounds ($(date -u +%Y-%m-%d), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
  echo
  echo "| Type | Users | Command | ms: median (p90, max) | Peak RSS MiB |"
  echo "|---|---:|---|---|---:|"
  for n in $sizes; do
    read -r fm _ _ _ < <(stats file "$n" larkspur.cgi)
    rows=()
    for type in $types; do rows+=("$type larkspur" "$type htdbm"); done
    rows+=("file larkspur.cgi")
    for row in "${rows[@]}"; do
      read -r type name <<<"$row"
      read -r m p x k < <(stats "$type" "$n" "$name")
      label=$name
      [ "$name" = larkspur ] && label="larkspur.cgi (DBM store, whole request)"
      [ "$type" = file ] && label="larkspur.cgi (file store, whole request)"
      echo "| $type | $n | $label | $m ($p, $x) | $k |"
      if [ "$name" = larkspur ]; then
        awk -v k="$k" 'BEGIN { exit !(k < 16) }' || echo "  peak RSS over 16 MiB"
        if [ "$n" -ge 1000000 ]; then
          awk -v m="$m" -v f="$fm" 'BEGIN { exit !(m <= f) }' ||
            echo "  slower than the file store at $n users"
        fi
      fi
    done
  done
} | tee "$table"
missed=0
grep -q "^  " "$table" && missed=1

# The plot: a change's median time against the users, for each DBM type
# through larkspur.cgi and htdbm, and for the file store.
medians=${table%.md}.medians
rows=()
for type in $types; do rows+=("$type larkspur larkspur.cgi, DBM $type" "$type htdbm htdbm, DBM $type"); done
rows+=("file larkspur.cgi larkspur.cgi, AuthUserFile")
for row in "${rows[@]}"; do
  read -r type name label <<<"$row"
  for n in $sizes; do
    read -r m _ < <(stats "$type" "$n" "$name")
    printf '%s\t%s\t%s\n' "$label" "$n" "$m"
  done
done >"$medians"
bench_plot_medians "${table%.md}.svg" 'One change of a DBM file: median wall time' 'users' "$medians"
echo "raw figures: $raw"
exit $missed
