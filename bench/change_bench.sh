#!/usr/bin/env bash
# One whole password change, timed at 1,000, 100,000 and 1,000,000 users:
# the CGI process answering a browser-shaped multipart request, against
# `htpasswd -b -m` on an identical copy of the file and against the floor of
# any safe rewrite (copy the file, fsync, rename; bench_floor). The three are
# run alternately, round by round, each on a fresh copy of the file, so that
# the machine's drift hits them alike. Reports medians, ratios and peak RSS
# as a Markdown table and checks the targets:
#   1,000,000 users: time <= 0.1 x htpasswd, <= 2 x floor, peak RSS <= 2.5 x file
#   1,000 users:     time <= htpasswd
# Usage: bench/change_bench.sh [--quick] [--sizes "1000 100000"] [--rounds N]
#                              [--candidate PATH/larkspur.cgi]
# A candidate, another build of the program, is run alternately with the rest.
# Results land in bench/results/. Exit status 1 when a target is missed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
sizes="1000 100000 1000000"
rounds=""
candidate=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) rounds=3 ;;
    --sizes) sizes=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --candidate) candidate=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--sizes LIST] [--rounds N] [--candidate PATH]" >&2; exit 2 ;;
  esac
  shift
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BENCH=ON \
  -DLARKSPUR_TESTS=OFF >/dev/null
cmake --build "$build" --target larkspur bench_time bench_floor -j2 >/dev/null
cgi=$build/larkspur.cgi
timer=$build/bench/bench_time
floor=$build/bench/bench_floor

results=$root/bench/results
mkdir -p "$results"
stamp=$(date +%Y%m%d-%H%M%S)
load=$(cut -d' ' -f1-3 /proc/loadavg)
raw=$results/change-$stamp.tsv
table=$results/change-$stamp.md

# Everything on the disk the AuthUserFile would live on; a private TMPDIR
# keeps the update lock and htpasswd's temporary file away from other runs.
work=$(mktemp -d "${TMPDIR:-/tmp}/larkspur-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/cgi" "$work/htpasswd" "$work/floor"
[ -z "$candidate" ] || [ "$(basename "$candidate")" = larkspur.cgi ] ||
  { echo "the candidate must be named larkspur.cgi, to read larkspur.cgi.ini" >&2; exit 2; }

# A handful of real Apache MD5 hashes of the old password, reused across users.
old='old-secret'
new='new-secret'
hashes=()
for _ in $(seq 16); do hashes+=("$(htpasswd -nbm x "$old" | cut -d: -f2-)"); done

boundary=----WebKitFormBoundaryq3Hx7bT2mZ9cLw4K
# The body Chromium sends for the change form.
make_body() {
  local kv
  for kv in "name=$1" "op=$old" "p1=$new" "p2=$new" "chgpasswd=Change"; do
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' \
      "$boundary" "${kv%%=*}" "${kv#*=}"
  done
  printf -- '--%s--\r\n' "$boundary"
}

printf '[path]\nauth_user_file=%s\nlog_file=%s\n[setup]\npassword_min_length=1\n' \
  "$work/cgi/users" "$work/cgi/larkspur.log" >"$work/cgi/larkspur.cgi.ini"

# A fresh copy for every run, already on the disk, so that no run pays for
# writing back the copy made for it.
fresh() {
  rm -f "$2" "$2.tmp"
  cp "$1" "$2"
  sync "$2"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf 'users\tcommand\tround\twall_us\tpeak_rss_kib\n' >"$raw"
fail=0
commands=(larkspur htpasswd floor)
header="| Users | File | larkspur.cgi | htpasswd -b -m | floor | larkspur / htpasswd | larkspur / floor | Peak RSS larkspur | htpasswd | floor |"
rule="|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
if [ -n "$candidate" ]; then
  commands+=(candidate)
  header+=" Candidate |"
  rule+="---:|"
fi
printf '%s Targets |\n%s---|\n' "$header" "$rule" >"$table"

for n in $sizes; do
  src=$work/users-$n
  awk -v n="$n" -v list="${hashes[*]}" 'BEGIN {
    split(list, h, " ")
    for (i = 0; i < n; i++) printf "user%07d:%s\n", i, h[i % 16 + 1]
  }' >"$src"
  # The last user: every lookup walks the whole file.
  user=$(printf 'user%07d' $((n - 1)))
  htpasswd -vb "$src" "$user" "$old" >/dev/null 2>&1 || { echo "bad generated file" >&2; exit 1; }
  make_body "$user" >"$work/body"
  bytes=$(stat -c %s "$src")
  r=${rounds:-$(( n >= 1000000 ? 11 : n >= 100000 ? 21 : 41 ))}

  for i in $(seq "$r"); do
    # Rotate the order, so that no command always follows the same one.
    for k in $(seq 0 $((${#commands[@]} - 1))); do
      name=${commands[(i + k) % ${#commands[@]}]}
      case $name in
        larkspur | candidate)
          program=$cgi
          [ "$name" = candidate ] && program=$candidate
          fresh "$src" "$work/cgi/users"
          (
            cd "$work/cgi"
            length=$(stat -c %s "$work/body")
            export TMPDIR=$work/tmp REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/larkspur.cgi \
              REMOTE_ADDR=127.0.0.1 CONTENT_TYPE="multipart/form-data; boundary=$boundary" \
              CONTENT_LENGTH=$length
            "$timer" "$work/t" "$program" <"$work/body" >"$work/out"
          )
          grep -q "$user:changed password successfully" "$work/out" ||
            { echo "$program did not change the password:" >&2; cat "$work/out" >&2; exit 1; }
          verify_copy=$work/cgi/users ;;
        htpasswd)
          fresh "$src" "$work/htpasswd/users"
          TMPDIR=$work/tmp "$timer" "$work/t" htpasswd -b -m "$work/htpasswd/users" "$user" "$new" \
            >/dev/null 2>&1
          verify_copy=$work/htpasswd/users ;;
        floor)
          fresh "$src" "$work/floor/users"
          "$timer" "$work/t" "$floor" "$work/floor/users"
          verify_copy="" ;;
      esac
      read -r us kib status <"$work/t"
      rm -f "$work/t"
      [ "$status" = 0 ] || { echo "$name exited with $status" >&2; exit 1; }
      printf '%s\t%s\t%s\t%s\t%s\n' "$n" "$name" "$i" "$us" "$kib" >>"$raw"
      # Each change must verify, and no other record may move.
      if [ "$i" = 1 ] && [ -n "$verify_copy" ]; then
        htpasswd -vb "$verify_copy" "$user" "$new" >/dev/null 2>&1 ||
          { echo "$name: the new password does not verify" >&2; exit 1; }
        [ "$(grep -vc "^$user:" "$verify_copy")" = $((n - 1)) ] ||
          { echo "$name: records lost or added" >&2; exit 1; }
      fi
    done
  done

  col() { awk -F'\t' -v n="$n" -v c="$1" -v f="$2" '$1 == n && $2 == c { print $f }' "$raw" | median; }
  lk=$(col larkspur 4) ht=$(col htpasswd 4) fl=$(col floor 4)
  lk_kib=$(col larkspur 5) ht_kib=$(col htpasswd 5) fl_kib=$(col floor 5)
  verdict=$(awk -v n="$n" -v lk="$lk" -v ht="$ht" -v fl="$fl" -v kib="$lk_kib" -v b="$bytes" 'BEGIN {
    v = ""
    if (n >= 1000000) {
      v = v (lk <= 0.1 * ht ? "<=0.1x htpasswd ok" : "<=0.1x htpasswd MISSED")
      v = v ", " (lk <= 2 * fl ? "<=2x floor ok" : "<=2x floor MISSED")
      v = v ", " (kib * 1024 <= 2.5 * b ? "RSS<=2.5x file ok" : "RSS<=2.5x file MISSED")
    } else if (n <= 1000) {
      v = (lk <= ht ? "<=htpasswd ok" : "<=htpasswd MISSED")
    } else v = "-"
    print v
  }')
  case $verdict in *MISSED*) fail=1 ;; esac
  extra=""
  if [ -n "$candidate" ]; then
    cd_us=$(col candidate 4) cd_kib=$(col candidate 5)
    extra=$(awk -v c="$cd_us" -v ht="$ht" -v k="$cd_kib" 'BEGIN {
      printf " %.1f ms (%.3fx htpasswd, %.1f MiB) |", c / 1000, c / ht, k / 1024 }')
  fi
  awk -v n="$n" -v b="$bytes" -v lk="$lk" -v ht="$ht" -v fl="$fl" -v lkk="$lk_kib" \
    -v htk="$ht_kib" -v flk="$fl_kib" -v v="$verdict" -v extra="$extra" 'BEGIN {
    size = b >= 1048576 ? sprintf("%.1f MiB", b / 1048576) : sprintf("%.0f KiB", b / 1024)
    printf "| %d | %s | %.1f ms | %.1f ms | %.1f ms | %.3f | %.2f | %.1f MiB = %.2fx file | %.1f MiB | %.1f MiB |%s %s |\n",
      n, size, lk / 1000, ht / 1000, fl / 1000, lk / ht, lk / fl, lkk / 1024,
      lkk * 1024 / b, htk / 1024, flk / 1024, extra, v
  }' >>"$table"
done

{
  echo
  echo "Medians of $(awk -F'\t' 'NR > 1 { print $1 }' "$raw" | uniq -c | awk -v m="${#commands[@]}" '{ printf "%s%d runs at %d", s, $1 / m, $2; s = ", " }')" \
    "users, each command run alternately on a fresh, synced copy of the file;" \
    "$(nproc) cores, $(uname -sr), load average before the run $load."
} >>"$table"
cat "$table"
echo "raw figures: $raw" >&2
exit "$fail"
