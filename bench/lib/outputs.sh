# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmarks, after they set $root to the source tree.

# bench_build DIR [CMAKE_ARGS...]: the optimised program and the timer in DIR,
# and the targets the array bench_targets names besides.
bench_targets=()
bench_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BENCH=ON \
    -DLARKSPUR_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" --target larkspur bench_time ${bench_targets[@]+"${bench_targets[@]}"} \
    -j2 >/dev/null
}

# bench_outputs NAME: where this run's figures go and its scratch space. Sets
# results ($LARKSPUR_BENCH_RESULTS, else bench/results), stamp, load (the load average now), raw
# (NAME-STAMP.tsv), table (NAME-STAMP.md), and work, a temporary directory
# removed when the script exits.
bench_outputs() {
  results=${LARKSPUR_BENCH_RESULTS:-$root/bench/results}
  mkdir -p "$results"
  stamp=$(date +%Y%m%d-%H%M%S)
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  raw=$results/$1-$stamp.tsv
  table=$results/$1-$stamp.md
  work=$(mktemp -d "${TMPDIR:-/tmp}/larkspur-$1-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}
