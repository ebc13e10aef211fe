#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a command beside a private PostgreSQL cluster that lives in a
# temporary directory, listens on a Unix socket only and is gone afterwards:
#   tests/support/private_pg.sh COMMAND [ARGS...]
# The command finds the connection in LARKSPUR_TEST_PGSQL (libpq conninfo of
# a superuser "larkspur" on database "larkspur", no password). The server
# stops when the command ends, and a watchdog stops it should this script be
# killed. Exits 77 (skipped) when PostgreSQL is not installed.
set -euo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "private_pg: PostgreSQL is not installed (scripts/deps test)" >&2
  exit 77
fi
[ $# -ge 1 ] || { echo "usage: private_pg.sh COMMAND [ARGS...]" >&2; exit 2; }

# PostgreSQL refuses to run as root: the cluster then belongs to nobody.
as=()
dir=$(mktemp -d /tmp/larkspur-pg.XXXXXX)
if [ "$(id -u)" = 0 ]; then
  as=(runuser -u nobody --)
  chown nobody "$dir"
fi
chmod 755 "$dir"

stop() {
  "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM HUP

"${as[@]}" "$bin/initdb" -D "$dir/data" -U larkspur --auth=trust --no-sync -E UTF8 \
  --locale=C >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
"${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
  -o "-c listen_addresses='' -c unix_socket_directories=$dir -c fsync=off -c max_connections=200" \
  start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
"${as[@]}" "$bin/createdb" -h "$dir" -U larkspur larkspur

# Should this script be killed outright, the watchdog stops the cluster.
parent=$$
setsid bash -c "while kill -0 $parent 2>/dev/null; do sleep 1; done
  ${as[*]} '$bin/pg_ctl' -D '$dir/data' -m immediate stop >/dev/null 2>&1; rm -rf '$dir'" \
  </dev/null >/dev/null 2>&1 &

export LARKSPUR_TEST_PGSQL="host=$dir dbname=larkspur user=larkspur"
export LARKSPUR_TEST_PGSQL_BIN=$bin LARKSPUR_TEST_PGSQL_DATA=$dir/data
status=0
"$@" || status=$?
exit $status
