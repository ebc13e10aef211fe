#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One change through larkspur.cgi, timed as one whole request, with the
# users in PostgreSQL and in SQLite (the users table keyed, so indexed, on
# the name) beside the file store (an AuthUserFile of as many users). The
# stores take turns round by round; each round changes the last user, back
# and forth. Then 100 simultaneous changes of distinct users at 1,000,000
# users, for each database.
#
# Reports median, p90 and maximum wall time and peak RSS per store at 1,000
# and 1,000,000 users (--sizes "1000 1000000 10000000" adds ten million).
# Goals: a database change at the largest size costs at most 1.2 times the
# one at 1,000; at 1M users at most a third of the file store's; all 100
# simultaneous changes succeed (exit status 1 when missed).
# PostgreSQL is a private cluster (tests/support/private_pg.sh) with fsync
# off, as the tests run it: the figures are the program's and the client's,
# not the disk's. Usage: bench/sql_bench.sh [--rounds N] [--sizes LIST]
# Results land in bench/results/ (or $LARKSPUR_BENCH_RESULTS): the raw
# figures, the table and a plot of the medians against the users (by gnuplot).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib/outputs.sh"
. "$root/bench/lib/plot.sh"
if [ -z "${LARKSPUR_TEST_PGSQL:-}" ]; then
  exec "$root/tests/support/private_pg.sh" "$0" "$@"
fi
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
rounds=11
sizes="1000 1000000"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --sizes) sizes=$2; shift ;;
    *) echo "usage: $0 [--rounds N] [--sizes LIST]" >&2; exit 2 ;;
  esac
  shift
done

bench_build "$build"
cgi=$build/larkspur.cgi
timer=$build/bench/bench_time
psql=("$LARKSPUR_TEST_PGSQL_BIN/psql" -X -q -v ON_ERROR_STOP=1 -d "$LARKSPUR_TEST_PGSQL")

bench_outputs sql
mkdir -p "$work/tmp"

old='old-secret'
new='new-secret'
hash_old=$(htpasswd -nbm x "$old" | cut -d: -f2-)
hash_new=$(htpasswd -nbm x "$new" | cut -d: -f2-)

body() { printf 'name=%s&op=%s&p1=%s&p2=%s&chgpasswd=Change' "$1" "$2" "$3" "$3"; }

# Runs one change in site directory $1 for user $2 from $3 to $4, timed into $5.
change() {
  local b
  b=$(body "$2" "$3" "$4")
  rm -f "$5"
  (cd "$1" && printf '%s' "$b" | CONTENT_LENGTH=${#b} TMPDIR=$work/tmp REQUEST_METHOD=POST \
    SCRIPT_NAME=/cgi-bin/larkspur.cgi REMOTE_ADDR=127.0.0.$((RANDOM % 250 + 1)) \
    CONTENT_TYPE=application/x-www-form-urlencoded "$timer" "$5" "$cgi" >"$5.out" 2>"$5.err")
  grep -q "$2:changed password successfully" "$5.out"
}

ini() { # dir driver params table
  {
    printf '[path]\nlog_file=%s/activity.log\n' "$1"
    [ "$2" != file ] || printf 'auth_user_file=%s/users\n' "$1"
    printf '[setup]\npassword_min_length=1\n'
    [ "$2" = file ] || printf '[dbd]\ndriver=%s\nparams=%s\nuser_query=SELECT password FROM %s WHERE "user" = %%s\nupdate_query=UPDATE %s SET password = %%s WHERE "user" = %%s\n' \
      "$2" "$3" "$4" "$4"
  } >"$1/larkspur.cgi.ini"
}

# The users user0000000 .. of one size in each store, all with the old hash.
"${psql[@]}" -c 'DROP TABLE IF EXISTS larkspur_failures' -f "$root/contrib/sql/pgsql.sql" \
  -c 'DROP TABLE authn' >/dev/null
for n in $sizes; do
  mkdir -p "$work/file$n" "$work/sqlite$n" "$work/pgsql$n"
  awk -v n="$n" -v h="$hash_old" 'BEGIN { for (i = 0; i < n; i++) printf "user%07d:%s\n", i, h }' \
    >"$work/file$n/users"
  ini "$work/file$n" file
  sed -e "s/CREATE TABLE authn/CREATE TABLE authn$n/" "$root/contrib/sql/sqlite3.sql" |
    sqlite3 "$work/sqlite$n/users.db"
  sqlite3 "$work/sqlite$n/users.db" "WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM i
    WHERE x < $n - 1) INSERT INTO authn$n SELECT printf('user%07d', x), '$hash_old' FROM i"
  ini "$work/sqlite$n" sqlite3 "$work/sqlite$n/users.db" "authn$n"
  "${psql[@]}" -c "DROP TABLE IF EXISTS authn$n" \
    -c "CREATE TABLE authn$n (\"user\" VARCHAR(255) NOT NULL PRIMARY KEY, password VARCHAR(255) NOT NULL)" \
    -c "INSERT INTO authn$n SELECT 'user' || lpad(x::text, 7, '0'), '$hash_old' FROM generate_series(0, $n - 1) x" \
    -c "VACUUM ANALYZE authn$n" >/dev/null
  ini "$work/pgsql$n" pgsql "$LARKSPUR_TEST_PGSQL" "authn$n"
done
sync

printf 'store\tusers\tround\twall_us\tpeak_rss_kib\n' >"$raw"
for n in $sizes; do
  user=$(printf 'user%07d' $((n - 1)))
  for i in $(seq 1 "$rounds"); do
    if [ $((i % 2)) = 1 ]; then from=$old to=$new; else from=$new to=$old; fi
    for store in file sqlite pgsql; do
      # The file store's rewrite must not leave its writing-back to the next.
      sync
      change "$work/$store$n" "$user" "$from" "$to" "$work/t" ||
        { echo "$store at $n users: no change" >&2; cat "$work/t.err" >&2; exit 1; }
      read -r us kib status _ <"$work/t"
      printf '%s\t%s\t%s\t%s\t%s\n' "$store" "$n" "$i" "$us" "$kib" >>"$raw"
    done
  done
done

# 100 simultaneous changes of distinct users at the largest size up to 1M.
burst=0
for n in $sizes; do [ "$n" -le 1000000 ] && burst=$n; done
declare -A burst_ok burst_ms
for store in sqlite pgsql; do
  start=$(date +%s%N)
  for k in $(seq 0 99); do
    change "$work/$store$burst" "$(printf 'user%07d' "$k")" "$old" "$new" "$work/b$store$k" &
  done
  wait
  burst_ms[$store]=$(( ($(date +%s%N) - start) / 1000000 ))
  burst_ok[$store]=$(cat "$work/b$store"*.out | grep -c 'changed password successfully' || true)
  # What the ones that did not change were told, and why.
  for k in $(seq 0 99); do
    grep -q 'changed password successfully' "$work/b$store$k.out" && continue
    echo "$store: $(sed -n 's/.*\(Server error[^<]*\|[a-z0-9]*:[a-z ]*\)<.*/\1/p' "$work/b$store$k.out" |
      head -n1) $(head -c 200 "$work/b$store$k.err")"
  done | sort | uniq -c >"$work/burst-$store"
done

# median p90 max (ms) and the largest peak RSS (MiB) of one store and size.
stats() {
  awk -F'\t' -v s="$1" -v n="$2" 'NR > 1 && $1 == s && $2 == n { print $4 "\t" $5 }' "$raw" |
    sort -n | awk -F'\t' '{ v[NR] = $1; if ($2 > k) k = $2 } END {
      p = int(NR * 0.9 + 0.999); if (p < 1) p = 1
      m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.1f\t%.1f\t%.1f\t%.1f\n", m / 1000, v[p] / 1000, v[NR] / 1000, k / 1024 }'
}

missed=0
{
  echo "# One change through larkspur.cgi, $rounds rounds ($(date -u +%Y-%m-%d), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
  echo
  echo "| Store | Users | ms: median (p90, max) | Peak RSS MiB |"
  echo "|---|---:|---|---:|"
  first=${sizes%% *}
  last=${sizes##* }
  for n in $sizes; do
    read -r fm _ _ _ < <(stats file "$n")
    for store in file sqlite pgsql; do
      read -r m p x k < <(stats "$store" "$n")
      echo "| $store | $n | $m ($p, $x) | $k |"
      [ "$store" = file ] && continue
      if [ "$n" = "$last" ] && [ "$n" != "$first" ]; then
        read -r m0 _ _ _ < <(stats "$store" "$first")
        awk -v m="$m" -v f="$m0" 'BEGIN { exit !(m <= 1.2 * f) }' ||
          { echo "  over 1.2 times the change at $first users"; missed=1; }
      fi
      if [ "$n" = 1000000 ]; then
        awk -v m="$m" -v f="$fm" 'BEGIN { exit !(3 * m <= f) }' ||
          { echo "  more than a third of the file store's time"; missed=1; }
      fi
    done
  done
  echo
  echo "100 simultaneous changes of distinct users at $burst users:"
  for store in sqlite pgsql; do
    echo "- $store: ${burst_ok[$store]} of 100 changed, all done in ${burst_ms[$store]} ms"
    sed 's/^/    /' "$work/burst-$store"
    [ "${burst_ok[$store]}" = 100 ] || missed=1
  done
} >"$table"
cat "$table"
echo "raw: $raw"

# The plot: a change's median time against the users, per store.
medians=${table%.md}.medians
for store in file sqlite pgsql; do
  case $store in
    file) label='larkspur.cgi, AuthUserFile' ;;
    sqlite) label='larkspur.cgi, SQLite' ;;
    pgsql) label='larkspur.cgi, PostgreSQL' ;;
  esac
  for n in $sizes; do
    read -r m _ < <(stats "$store" "$n")
    printf '%s\t%s\t%s\n' "$label" "$n" "$m"
  done
done >"$medians"
bench_plot_medians "${table%.md}.svg" 'One change through larkspur.cgi: median wall time' 'users' \
  "$medians"
exit $missed
