#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every store on one plot. Runs the change, DBM and database benchmarks one
# after the other at the same sizes and rounds, then draws a change's median
# time through larkspur.cgi against the number of users for the
# AuthUserFile and its floor (from the change benchmark, on the file system
# of $TMPDIR, no XFS or cold rounds), a DBM file of type db and of gdbm, and
# the users in SQLite and in PostgreSQL. What each benchmark times is its
# own: see their heads. The load average before each benchmark and after the
# last goes into the plot's title, since other work on the machine slows
# every line alike.
# Usage: bench/stores_bench.sh [--sizes LIST] [--rounds N] [--output FILE.svg]
# Defaults: 1000 100000 1000000 users, 5 rounds. Each benchmark's results
# (tables, raw figures, its own plot) and the medians of all land in
# bench/results/stores-DATE/, with the plot as stores.svg unless --output
# names another file. Exit status 1 when a benchmark missed one of its goals
# (the plot is drawn all the same), 2 when one could not run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib/plot.sh"
sizes="1000 100000 1000000"
rounds=5
output=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --output) output=$2; shift ;;
    *) echo "usage: $0 [--sizes LIST] [--rounds N] [--output FILE.svg]" >&2; exit 2 ;;
  esac
  shift
done

results=$root/bench/results/stores-$(date +%Y%m%d-%H%M%S)
mkdir -p "$results"
[ -n "$output" ] || output=$results/stores.svg
export LARKSPUR_BENCH_RESULTS=$results

loads=()
missed=0
for bench in change dbm sql; do
  loads+=("$(cut -d' ' -f1 /proc/loadavg)")
  echo "== $bench benchmark" >&2
  args=(--sizes "$sizes" --rounds "$rounds")
  [ "$bench" != change ] || args+=(--no-xfs --no-cold)
  status=0
  "$root/bench/${bench}_bench.sh" "${args[@]}" >"$results/$bench.out" || status=$?
  if ! ls "$results/$bench"-*.medians >/dev/null 2>&1; then
    echo "the $bench benchmark did not finish (status $status):" >&2
    tail -n 20 "$results/$bench.out" >&2
    exit 2
  fi
  [ "$status" = 0 ] || missed=1
done
loads+=("$(cut -d' ' -f1 /proc/loadavg)")

# The lines of the plot, picked from each benchmark's medians and renamed
# for the store they stand for.
medians=$results/stores.medians
{
  awk -F'\t' '$1 ~ /^larkspur\.cgi, / { sub(/^larkspur\.cgi, /, ""); print "AuthUserFile (" $1 ")\t" $2 "\t" $3 }' \
    "$results"/change-*.medians
  awk -F'\t' '$1 ~ /^floor, / { sub(/^floor, /, ""); print "AuthUserFile floor (" $1 ")\t" $2 "\t" $3 }' \
    "$results"/change-*.medians
  awk -F'\t' '$1 ~ /^larkspur\.cgi, DBM / { sub(/^larkspur\.cgi, /, ""); print }' OFS='\t' \
    "$results"/dbm-*.medians
  awk -F'\t' '$1 ~ /^larkspur\.cgi, (SQLite|PostgreSQL)$/ { sub(/^larkspur\.cgi, /, ""); print }' \
    OFS='\t' "$results"/sql-*.medians
} >"$medians"

range=$(printf '%s\n' "${loads[@]}" | sort -n | sed -n '1p;$p' | paste -sd' ')
caption="$(nproc) cores, load ${range% *} to ${range#* }"
bench_plot_medians "$output" "One password change: median wall time ($caption)" 'users' "$medians"

{
  echo "# One password change, median ms, $rounds rounds ($(date -u +%Y-%m-%d), $caption)"
  echo
  printf '| Store |'; for n in $sizes; do printf ' %s users |' "$n"; done; echo
  printf '|---|'; for _ in $sizes; do printf -- '---:|'; done; echo
  awk -F'\t' '!seen[$1]++ { print $1 }' "$medians" | while IFS= read -r label; do
    printf '| %s |' "$label"
    for n in $sizes; do
      printf ' %s |' "$(awk -F'\t' -v l="$label" -v n="$n" '$1 == l && $2 == n { printf "%.1f", $3 }' "$medians")"
    done
    echo
  done
} | tee "$results/stores.md"
echo "results: $results" >&2
exit $missed
