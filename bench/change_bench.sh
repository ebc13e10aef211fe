#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One whole password change, timed: the CGI process answering a
# browser-shaped multipart request, beside `htpasswd -b -m` and the floor of
# any safe rewrite (bench_floor: read, write in 1 MiB pieces, fsync, rename,
# fsync the directory). Each command has its own copy of the file on the same
# file system, and the commands take turns round by round, so that the
# machine's drift hits them alike. Every round changes the last user's
# password, back and forth, so every lookup walks the whole file.
#
# Reports median, p90 and maximum wall time and peak RSS of every command:
#   - at 1,000 to 10,000,000 users (the 10M file is made and removed by the
#     run; htpasswd only up to 1M users, where one change takes seconds);
#   - on the file system of $TMPDIR (ext4 here) and, when run as root, on a
#     loop-mounted XFS with reflink;
#   - "cold": 1M users on the first file system, idle 4 s before each run;
#   - 20 and 100 simultaneous changes of distinct users on the 1M-user file,
#     with how many succeeded.
# Targets (exit status 1 when one is missed):
#   ext4 1M, hot and cold: median <= 1.1x floor, p90 <= 1.3x floor's p90,
#                          max <= 2x median
#   XFS 1M and 10M:        median <= 0.2x that file system's floor
#   ext4 10M:              median <= 1.3x floor
#   any size:              peak RSS <= 16 MiB
#   1,000 users:           median <= 0.8x htpasswd
#   XFS, 100 simultaneous: all succeed
# A candidate, another build of the program (say, of main before a change),
# is run alternately with the rest and gets the same columns.
# Usage: bench/change_bench.sh [--quick] [--sizes LIST] [--rounds N] [--no-xfs]
#                              [--no-cold] [--only-concurrency]
#                              [--candidate PATH/larkspur.cgi] [--report RAW.tsv]
# --report writes the table again from the raw figures of an earlier run.
# Results land in bench/results/ (or $LARKSPUR_BENCH_RESULTS): the raw figures
# (.tsv), the table (.md) and a plot of a change's time against the number of
# users (.svg, by gnuplot) with the medians it draws (.medians).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib/plot.sh"
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
sizes="1000 100000 1000000 10000000"
rounds=21
xfs=yes
cold=yes
candidate=""
only=""
report=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) rounds=3 sizes="1000 1000000" ;;
    --sizes) sizes=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --no-xfs) xfs=no ;;
    --no-cold) cold=no ;;
    --only-concurrency) only=concurrency ;;
    --report) report=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
    --candidate) candidate=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--sizes LIST] [--rounds N] [--no-xfs] [--no-cold]" \
         "[--only-concurrency] [--report RAW.tsv] [--candidate PATH]" >&2
       exit 2 ;;
  esac
  shift
done
[ -z "$candidate" ] || [ "$(basename "$candidate")" = larkspur.cgi ] ||
  { echo "the candidate must be named larkspur.cgi, to read larkspur.cgi.ini" >&2; exit 2; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BENCH=ON \
  -DLARKSPUR_TESTS=OFF >/dev/null
cmake --build "$build" --target larkspur bench_time bench_floor -j2 >/dev/null
cgi=$build/larkspur.cgi
timer=$build/bench/bench_time
floor=$build/bench/bench_floor

results=${LARKSPUR_BENCH_RESULTS:-$root/bench/results}
mkdir -p "$results"
stamp=$(date +%Y%m%d-%H%M%S)
raw=$results/change-$stamp.tsv
table=$results/change-$stamp.md
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

work=$(mktemp -d "${TMPDIR:-/tmp}/larkspur-bench.XXXXXX")
mnt=$work/xfs
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" || umount -l "$mnt"; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/tmp"

commands=(larkspur floor htpasswd)
[ -z "$candidate" ] || commands+=(candidate)

# A handful of real Apache MD5 hashes of the old password, reused across users.
old='old-secret'
new='new-secret'
hashes=()
for _ in $(seq 16); do hashes+=("$(htpasswd -nbm x "$old" | cut -d: -f2-)"); done

boundary=----WebKitFormBoundaryq3Hx7bT2mZ9cLw4K
# The body Chromium sends for the change form: make_body USER OLD NEW
make_body() {
  local kv
  for kv in "name=$1" "op=$2" "p1=$3" "p2=$3" "chgpasswd=Change"; do
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' \
      "$boundary" "${kv%%=*}" "${kv#*=}"
  done
  printf -- '--%s--\r\n' "$boundary"
}

# Runs the CGI $1 in directory $2 on body file $3, timed into $4.
run_cgi() {
  (
    cd "$2"
    CONTENT_LENGTH=$(stat -c %s "$3")
    export TMPDIR=$work/tmp REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/larkspur.cgi \
      REMOTE_ADDR=127.0.0.1 CONTENT_TYPE="multipart/form-data; boundary=$boundary" CONTENT_LENGTH
    "$timer" "$4" "$1" <"$3" >"$4.out"
  )
}

program_of() { case $1 in larkspur) echo "$cgi" ;; candidate) echo "$candidate" ;; esac; }

# Every command's own directory and copy of the file: setup_copies DIR SOURCE N
setup_copies() {
  local name
  for name in "${commands[@]}"; do
    [ "$name" = htpasswd ] && [ "$3" -gt 1000000 ] && continue
    mkdir -p "$1/$name"
    rm -f "$1/$name/users" "$1/$name/users.tmp"
    cp --reflink=never "$2" "$1/$name/users"
    printf '[path]\nauth_user_file=%s\nlog_file=%s\n[setup]\npassword_min_length=1\n' \
      "$1/$name/users" "$1/$name/larkspur.log" >"$1/$name/larkspur.cgi.ini"
  done
  sync
}

concurrency=$results/change-$stamp.concurrency
if [ -n "$report" ]; then
  raw=$report table=${report%.tsv}.md concurrency=${report%.tsv}.concurrency load_before="?"
  touch "$concurrency"
else
  printf 'fs\tvariant\tusers\tcommand\tround\twall_us\tpeak_rss_kib\n' >"$raw"
  : >"$concurrency"
fi

# One round of every command, in rotated order: round FS_DIR FS VARIANT N ROUND
round() {
  local dir=$1 fs=$2 variant=$3 n=$4 i=$5 k name from to t
  local user
  user=$(printf 'user%07d' $((n - 1)))
  # Odd rounds change the old password to the new one, even rounds back.
  if [ $((i % 2)) = 1 ]; then from=$old to=$new; else from=$new to=$old; fi
  for k in $(seq 0 $((${#commands[@]} - 1))); do
    name=${commands[(i + k) % ${#commands[@]}]}
    [ "$name" = htpasswd ] && [ "$n" -gt 1000000 ] && continue
    [ "$name" = htpasswd ] && [ "$variant" = cold ] && continue
    [ "$variant" = cold ] && sleep 4
    t=$work/t
    rm -f "$t"
    case $name in
      larkspur | candidate)
        make_body "$user" "$from" "$to" >"$work/body"
        run_cgi "$(program_of "$name")" "$dir/$name" "$work/body" "$t"
        grep -q "$user:changed password successfully" "$t.out" ||
          { echo "$name did not change the password:" >&2; cat "$t.out" >&2; exit 1; } ;;
      htpasswd)
        TMPDIR=$work/tmp "$timer" "$t" htpasswd -b -m "$dir/$name/users" "$user" "$to" \
          >/dev/null 2>&1 ;;
      floor)
        "$timer" "$t" "$floor" "$dir/$name/users" ;;
    esac
    read -r us kib status _ <"$t"
    [ "$status" = 0 ] || { echo "$name exited with $status" >&2; exit 1; }
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$fs" "$variant" "$n" "$name" "$i" "$us" "$kib" >>"$raw"
    if [ "$i" = 1 ] && [ "$name" != floor ]; then
      htpasswd -vb "$dir/$name/users" "$user" "$to" >/dev/null 2>&1 ||
        { echo "$name: the new password does not verify" >&2; exit 1; }
    fi
  done
}

# N simultaneous changes of distinct users: simultaneous DIR FS N OFFSET
simultaneous() {
  local dir=$1 fs=$2 count=$3 offset=$4 n=1000000 name j user start end ok slowest
  for name in larkspur candidate; do
    [ "$name" = candidate ] && [ -z "$candidate" ] && continue
    rm -rf "$work/sim"
    mkdir -p "$work/sim"
    for j in $(seq 0 $((count - 1))); do
      user=$(printf 'user%07d' $((j * (n / count) + offset)))
      make_body "$user" "$old" "$new" >"$work/sim/body$j"
    done
    start=$(date +%s%N)
    for j in $(seq 0 $((count - 1))); do
      run_cgi "$(program_of "$name")" "$dir/$name" "$work/sim/body$j" "$work/sim/t$j" &
    done
    wait
    end=$(date +%s%N)
    ok=$(cat "$work/sim"/t*.out | grep -c 'changed password successfully' || true)
    slowest=$(for j in $(seq 0 $((count - 1))); do cut -d' ' -f1 "$work/sim/t$j"; done | sort -n | tail -1)
    printf '| %s | %s | %d | %d of %d | %.0f ms | %.0f ms |\n' "$fs" "$name" "$count" "$ok" "$count" \
      $(((end - start) / 1000000)) "$(awk -v u="$slowest" 'BEGIN { print u / 1000 }')" >>"$concurrency"
    if [ "$fs" = xfs ] && [ "$count" = 100 ] && [ "$name" = larkspur ] && [ "$ok" != "$count" ]; then
      echo "missed: $ok of $count simultaneous changes on XFS" >>"$work/missed"
    fi
  done
}

make_users() {
  awk -v n="$1" -v list="${hashes[*]}" 'BEGIN {
    split(list, h, " ")
    for (i = 0; i < n; i++) printf "user%07d:%s\n", i, h[i % 16 + 1]
  }' >"$2"
}

bench_fs() {
  local dir=$1 fs=$2 n src
  for n in $sizes; do
    src=$work/users-$n
    [ -f "$src" ] || make_users "$n" "$src"
    setup_copies "$dir" "$src" "$n"
    echo "$fs: $n users" >&2
    if [ -z "$only" ]; then
      for i in $(seq "$rounds"); do round "$dir" "$fs" hot "$n" "$i"; done
    fi
    if [ "$n" = 1000000 ]; then
      if [ "$cold" = yes ] && [ "$fs" != xfs ] && [ -z "$only" ]; then
        echo "$fs: $n users, cold" >&2
        # Numbered on from the hot rounds: the password goes on alternating.
        for i in $(seq $((rounds + 1)) $((2 * rounds))); do round "$dir" "$fs" cold "$n" "$i"; done
      fi
      simultaneous "$dir" "$fs" 20 1
      simultaneous "$dir" "$fs" 100 2
    fi
    for name in larkspur candidate; do
      [ -f "$dir/$name/users" ] || continue
      [ "$(grep -c '^user' "$dir/$name/users")" = "$n" ] ||
        { echo "$name: records lost or added" >&2; exit 1; }
    done
    rm -rf "${dir:?}"/*/users "${dir:?}"/*/users.tmp
    [ "$n" -lt 10000000 ] || rm -f "$src"
  done
}

fs1=$(findmnt -no FSTYPE -T "$work" || stat -f -c %T "$work")
mkdir -p "$work/fs1"
[ -n "$report" ] || bench_fs "$work/fs1" "$fs1"
if [ "$xfs" = yes ] && [ -z "$report" ]; then
  if [ "$(id -u)" = 0 ] && command -v mkfs.xfs >/dev/null; then
    truncate -s 4G "$work/xfs.img"
    mkfs.xfs -q -m reflink=1 "$work/xfs.img"
    mkdir -p "$mnt"
    mount -o loop "$work/xfs.img" "$mnt"
    bench_fs "$mnt" xfs
  else
    echo "no XFS run: it needs root and mkfs.xfs" >&2
  fi
fi

# median p90 max of the numbers on standard input (p90 by nearest rank).
stats() {
  sort -n | awk '{ v[NR] = $1 } END {
    if (NR == 0) exit
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    p = int(0.9 * NR); if (p < 0.9 * NR) p++
    print m, v[p], v[NR] }'
}
column_stats() {
  awk -F'\t' -v fs="$1" -v var="$2" -v n="$3" -v c="$4" -v f="$5" \
    '$1 == fs && $2 == var && $3 == n && $4 == c { print $f }' "$raw" | stats
}

{
  header="| FS | Users | Run | larkspur ms: median (p90, max) | floor | htpasswd |"
  rule="|---|---:|---|---:|---:|---:|"
  if [ -n "$candidate" ]; then header+=" candidate |"; rule+="---:|"; fi
  header+=" larkspur / floor: median, p90 | Peak RSS MiB: larkspur, floor, htpasswd"
  rule+="---:|---:|"
  if [ -n "$candidate" ]; then header+=", candidate"; fi
  echo "$header | Targets |"
  echo "$rule---|"
} >"$table"

awk -F'\t' 'NR > 1 { print $1 "\t" $2 "\t" $3 }' "$raw" | uniq | while IFS=$'\t' read -r fs variant n; do
  cells="" rss="" verdict=""
  unset med p90 max kib
  declare -A med p90 max kib
  for name in "${commands[@]}"; do
    read -r m p x < <(column_stats "$fs" "$variant" "$n" "$name" 6) || true
    read -r k _ _ < <(column_stats "$fs" "$variant" "$n" "$name" 7) || true
    med[$name]=${m:-} p90[$name]=${p:-} max[$name]=${x:-} kib[$name]=${k:-}
  done
  for name in "${commands[@]}"; do
    if [ -z "${med[$name]}" ]; then cells+=" - |"; rss+=" -,"; continue; fi
    cells+=$(awk -v m="${med[$name]}" -v p="${p90[$name]}" -v x="${max[$name]}" \
      'BEGIN { printf " %.1f (%.1f, %.1f) |", m / 1000, p / 1000, x / 1000 }')
    rss+=$(awk -v k="${kib[$name]}" 'BEGIN { printf " %.1f,", k / 1024 }')
  done
  verdict=$(awk -v fs="$fs" -v var="$variant" -v n="$n" -v lm="${med[larkspur]}" \
    -v lp="${p90[larkspur]}" -v lx="${max[larkspur]}" -v fm="${med[floor]}" -v fp="${p90[floor]}" \
    -v hm="${med[htpasswd]:-}" -v lk="${kib[larkspur]}" 'BEGIN {
    v = ""
    if (fs == "xfs" && n >= 1000000) v = v (lm <= 0.2 * fm ? " <=0.2x floor ok;" : " <=0.2x floor MISSED;")
    if (fs != "xfs" && n == 1000000) {
      v = v (lm <= 1.1 * fm ? " median<=1.1x floor ok;" : " median<=1.1x floor MISSED;")
      v = v (lp <= 1.3 * fp ? " p90<=1.3x floor p90 ok;" : " p90<=1.3x floor p90 MISSED;")
      v = v (lx <= 2 * lm ? " max<=2x median ok;" : " max<=2x median MISSED;")
    }
    if (fs != "xfs" && n >= 10000000) v = v (lm <= 1.3 * fm ? " <=1.3x floor ok;" : " <=1.3x floor MISSED;")
    if (n <= 1000 && hm != "") v = v (lm <= 0.8 * hm ? " <=0.8x htpasswd ok;" : " <=0.8x htpasswd MISSED;")
    v = v (lk <= 16 * 1024 ? " RSS<=16 MiB ok" : " RSS<=16 MiB MISSED")
    print v }')
  case $verdict in *MISSED*) echo "missed: $fs $variant $n:$verdict" >>"$work/missed" ;; esac
  ratio=$(awk -v lm="${med[larkspur]}" -v lp="${p90[larkspur]}" -v fm="${med[floor]}" \
    -v fp="${p90[floor]}" 'BEGIN { printf "%.2f, %.2f", lm / fm, lp / fp }')
  printf '| %s | %d | %s |%s %s |%s |%s |\n' "$fs" "$n" "$variant" "$cells" "$ratio" "${rss%,}" \
    "$verdict" >>"$table"
done

{
  echo
  echo "| FS | Program | Simultaneous changes | Succeeded | All done after | Slowest |"
  echo "|---|---|---:|---:|---:|---:|"
  cat "$concurrency"
  echo
  echo "$rounds rounds of each command per row, alternating, each on its own copy of the file on" \
    "that file system; cold rows idle 4 s before each run. $(nproc) cores, $(uname -sr);" \
    "load average before the run $load_before, after it $(cut -d' ' -f1-3 /proc/loadavg)."
} >>"$table"
cat "$table"
echo "raw figures: $raw" >&2

# The plot: median time of a change against the number of users, for the
# program and its floor on each file system; the medians it draws are kept
# beside it.
medians=${table%.md}.medians
for fs in $(awk -F'\t' 'NR > 1 { print $1 }' "$raw" | sort -u); do
  for name in larkspur floor; do
    label=$name
    if [ "$name" = larkspur ]; then label=larkspur.cgi; fi
    for n in $(awk -F'\t' -v fs="$fs" 'NR > 1 && $1 == fs && $2 == "hot" { print $3 }' "$raw" | sort -nu); do
      read -r m _ < <(column_stats "$fs" hot "$n" "$name" 6) || continue
      awk -v l="$label, $fs" -v n="$n" -v m="$m" 'BEGIN { printf "%s\t%d\t%.3f\n", l, n, m / 1000 }'
    done
  done
done >"$medians"
bench_plot_medians "${table%.md}.svg" 'One password change: median wall time' 'users in the file' \
  "$medians"
if [ -f "$work/missed" ]; then
  cat "$work/missed" >&2
  exit 1
fi
