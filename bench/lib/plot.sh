# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmarks: the plot of a change's median time against the
# number of users, drawn by gnuplot as an SVG.

# bench_plot OUT.svg TITLE XLABEL LABEL DATA [LABEL DATA ...]: one line per
# DATA file (lines "users median_ms"), titled LABEL, on logarithmic axes.
# Empty data files are left out. Labels go to gnuplot's enhanced text, so
# they hold no quote, underscore, caret or brace.
bench_plot() {
  local out=$1 title=$2 xlabel=$3 series=() joined
  shift 3
  if ! command -v gnuplot >/dev/null; then
    echo "no plot: gnuplot is missing (scripts/deps bench installs it)" >&2
    return 0
  fi
  while [ $# -ge 2 ]; do
    if [ -s "$2" ]; then series+=("'$2' using 1:2 with linespoints title '$1'"); fi
    shift 2
  done
  if [ ${#series[@]} = 0 ]; then
    echo "no plot: no figures to draw" >&2
    return 0
  fi
  joined=$(printf '%s, ' "${series[@]}")
  gnuplot <<GNUPLOT
set terminal svg size 720,480 dynamic enhanced font 'sans,12'
set output '$out'
set title '$title'
set xlabel '$xlabel'
set ylabel 'milliseconds'
set logscale xy
set format x '10^{%L}'
set key top left
set grid
plot ${joined%, }
GNUPLOT
  echo "plot: $out" >&2
}

# bench_plot_medians OUT.svg TITLE XLABEL MEDIANS: the same from MEDIANS, lines
# "label<TAB>users<TAB>median_ms", one line per label in the order in which
# the labels first appear. Each benchmark keeps such a file beside its plot,
# so that a run of several can draw them on one.
bench_plot_medians() {
  local out=$1 title=$2 xlabel=$3 medians=$4 dir label k=0 args=()
  dir=$(mktemp -d "${TMPDIR:-/tmp}/larkspur-plot.XXXXXX")
  while IFS= read -r label; do
    k=$((k + 1))
    awk -F'\t' -v l="$label" '$1 == l { print $2, $3 }' "$medians" | sort -n >"$dir/$k.dat"
    args+=("$label" "$dir/$k.dat")
  done < <(awk -F'\t' '!seen[$1]++ { print $1 }' "$medians")
  bench_plot "$out" "$title" "$xlabel" "${args[@]}"
  rm -rf "$dir"
}
