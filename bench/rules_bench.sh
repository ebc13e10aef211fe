#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The new-password rules' cost per change, in one run:
#   - the breached-password search on a generated sorted list of 100 million
#     SHA1:COUNT lines (about 4.4 GB, CRLF ends, made once and kept in
#     $TMPDIR/larkspur-rules-bench), hot (64 searches repeated) and cold (the
#     list's pages evicted before each search; as root the page cache is
#     dropped once first), with the pages each search read from the disk;
#   - libpwquality's check with Debian's /etc/security/pwquality.conf;
#   - all rules together, beside no rules.
# Goals: under 1 ms added hot, at most 40 pages read cold, libpwquality
# under 5 ms. Prints median, p90 and max in microseconds, and peak RSS.
# Usage: bench/rules_bench.sh [--lines N] [--rounds N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
lines=100000000
rounds=2000
while [ $# -gt 0 ]; do
  case "$1" in
    --lines) lines=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: bench/rules_bench.sh [--lines N] [--rounds N]" >&2; exit 2 ;;
  esac
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BENCH=ON >/dev/null
cmake --build "$build" --target rules_bench -j"$(nproc)" >/dev/null
bench=$build/bench/rules_bench

dir=${TMPDIR:-/tmp}/larkspur-rules-bench
mkdir -p "$dir"
corpus=$dir/corpus-$lines.txt
if [ ! -s "$corpus" ]; then
  echo "making $corpus ($lines lines)"
  "$bench" make "$corpus.part" "$lines"
  mv "$corpus.part" "$corpus"
fi
echo "list: $corpus, $(stat -c %s "$corpus") bytes, $lines lines"
if [ "$(id -u)" = 0 ]; then sync; echo 3 >/proc/sys/vm/drop_caches; fi
"$bench" search "$corpus" "$lines" 40 cold
"$bench" search "$corpus" "$lines" "$rounds" hot
"$bench" rules /etc/security/pwquality.conf "$corpus" 200
