#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Hostile request bodies against the whole CGI process: peak RSS and wall
# time of larkspur.cgi for each, median, p90 and max over the rounds, beside
# a floor (the same body read by cat into /dev/null). The bodies stream
# from a generator, so nothing of their size is kept on disk:
#   urlencoded-48MB   48 MB of "a=&" with its CONTENT_LENGTH
#   plain-field-1GiB  one multipart plain field of 1 GiB
#   fields-100k       100,000 empty multipart fields
#   upload-1GiB       one multipart upload of 1 GiB
#   upload-1MiB       one multipart upload just within the body's 1 MiB
# Bodies over 1 MiB are refused before they are read; the last is decoded
# whole, into an upload file. Checks that every peak RSS stays under 16 MiB
# and that no upload file is left. Usage:
#   bench/hostile_bench.sh [--rounds N] [--candidate PATH/larkspur.cgi]
# A candidate (another build, say the one before a change) is measured in
# the same rounds. Results land in bench/results/. Exit 1 when a bound fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib/outputs.sh"
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
rounds=3
candidate=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --candidate) candidate=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
    *) echo "usage: $0 [--rounds N] [--candidate PATH]" >&2; exit 2 ;;
  esac
  shift
done

bench_build "$build"
timer=$build/bench/bench_time

bench_outputs hostile
mkdir -p "$work/tmp" "$work/site"
printf '[path]\nauth_user_file=%s\n' "$work/site/users" >"$work/site/larkspur.cgi.ini"
: >"$work/site/users"
programs=("current=$build/larkspur.cgi")
[ -z "$candidate" ] || programs+=("candidate=$candidate")

gib=$((1 << 30))
mb48=48000000
mib_upload=$(( (1 << 20) - 200 ))
boundary=B
printf -v head_field -- '--%s\r\nContent-Disposition: form-data; name="a"\r\n\r\n' "$boundary"
printf -v head_upload -- '--%s\r\nContent-Disposition: form-data; name="f"; filename="big.bin"\r\nContent-Type: application/octet-stream\r\n\r\n' "$boundary"
printf -v tail_part -- '\r\n--%s--\r\n' "$boundary"
# The quotes belong to the header text.
# shellcheck disable=SC2089
printf -v empty_field -- '--%s\r\nContent-Disposition: form-data; name="a"\r\n\r\n\r\n' "$boundary"
# shellcheck disable=SC2090
export empty_field

# body NAME: writes the body to stdout; length NAME: its CONTENT_LENGTH.
body() {
  case "$1" in
    urlencoded-48MB) yes 'a=&' | tr -d '\n' | head -c "$mb48" ;;
    plain-field-1GiB) printf '%s' "$head_field"; head -c "$gib" /dev/zero | tr '\0' x
      printf '%s' "$tail_part" ;;
    fields-100k) awk 'BEGIN { for (i = 0; i < 100000; i++) printf "%s", ENVIRON["empty_field"] }'
      printf -- '--%s--\r\n' "$boundary" ;;
    upload-1GiB) printf '%s' "$head_upload"; head -c "$gib" /dev/zero | tr '\0' u
      printf '%s' "$tail_part" ;;
    upload-1MiB) printf '%s' "$head_upload"; head -c "$mib_upload" /dev/zero | tr '\0' u
      printf '%s' "$tail_part" ;;
  esac
}
length() {
  case "$1" in
    urlencoded-48MB) echo "$mb48" ;;
    plain-field-1GiB) echo $(( ${#head_field} + gib + ${#tail_part} )) ;;
    fields-100k) echo $(( 100000 * ${#empty_field} + ${#boundary} + 6 )) ;;
    upload-1GiB) echo $(( ${#head_upload} + gib + ${#tail_part} )) ;;
    upload-1MiB) echo $(( ${#head_upload} + mib_upload + ${#tail_part} )) ;;
  esac
}
type_of() {
  case "$1" in
    urlencoded-48MB) echo application/x-www-form-urlencoded ;;
    *) echo "multipart/form-data; boundary=$boundary" ;;
  esac
}

cases=(urlencoded-48MB plain-field-1GiB fields-100k upload-1GiB upload-1MiB)
printf 'case\tprogram\twall_us\tpeak_rss_kib\tstatus\n' >"$raw"
for ((round = 1; round <= rounds; round++)); do
  for c in "${cases[@]}"; do
    for entry in floor "${programs[@]}"; do
      name=${entry%%=*} program=${entry#*=}
      : >"$work/t"
      if [ "$name" = floor ]; then
        body "$c" | "$timer" "$work/t" cat >/dev/null || true
      else
        ( cd "$work/site"
          CONTENT_TYPE=$(type_of "$c")
          CONTENT_LENGTH=$(length "$c")
          export TMPDIR=$work/tmp REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/larkspur.cgi \
            CONTENT_TYPE CONTENT_LENGTH
          cp "$program" larkspur.cgi
          body "$c" | "$timer" "$work/t" ./larkspur.cgi >/dev/null 2>&1 || true )
      fi
      read -r us kib status <"$work/t"
      printf '%s\t%s\t%s\t%s\t%s\n' "$c" "$name" "$us" "$kib" "$status" >>"$raw"
    done
  done
done

# Upload files have no name: none may be left, whatever happened.
left=$(find "$work/tmp" -mindepth 1 | wc -l)

awk -F'\t' -v left="$left" '
  NR == 1 { next }
  { key = $1 SUBSEP $2; n[key]++; t[key, n[key]] = $3; r[key, n[key]] = $4; s[key] = $5
    if (!($1 in seen)) { seen[$1] = 1; order[++cases] = $1 }
    if (!($2 in pseen)) { pseen[$2] = 1; porder[++programs] = $2 } }
  function sorted(a, key, count,   i, j, v) {
    for (i = 1; i <= count; i++) v[i] = a[key, i]
    for (i = 2; i <= count; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) {
      tmp = v[j]; v[j] = v[j - 1]; v[j - 1] = tmp }
    for (i = 1; i <= count; i++) out[i] = v[i]
  }
  function stats(a, key, count, scale, unit,   m, p) {
    sorted(a, key, count)
    m = out[int((count + 1) / 2)]; p = out[int(0.9 * count + 0.999)]
    return sprintf("%.1f / %.1f / %.1f %s", m / scale, p / scale, out[count] / scale, unit)
  }
  END {
    print "| Body | Program | Time median / p90 / max | Peak RSS median / p90 / max | Exit |"
    print "|---|---|---:|---:|---:|"
    fail = 0
    for (i = 1; i <= cases; i++) for (j = 1; j <= programs; j++) {
      key = order[i] SUBSEP porder[j]
      if (!(key in n)) continue
      printf "| %s | %s | %s | %s | %s |\n", order[i], porder[j],
        stats(t, key, n[key], 1000, "ms"), stats(r, key, n[key], 1024, "MiB"), s[key]
      if (porder[j] == "current") for (k = 1; k <= n[key]; k++) if (r[key, k] >= 16384) fail = 1
    }
    printf "\nUpload files left: %d\n", left
    if (left > 0) fail = 1
    if (fail) { print "BOUND MISSED: peak RSS of 16 MiB or upload files left"; exit 1 }
  }' "$raw" | tee "$table"
