#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a command beside a private MariaDB server that lives in a temporary
# directory, listens on a Unix socket only and is gone afterwards:
#   tests/support/private_mariadb.sh COMMAND [ARGS...]
# The command finds the connection in LARKSPUR_TEST_MYSQL (APR-util's mysql
# parameters of the user root on database "larkspur", no password). The
# server stops when the command ends, and a watchdog stops it should this
# script be killed. Exits 77 (skipped) when MariaDB is not installed.
set -euo pipefail

server=$(command -v mariadbd || ls /usr/sbin/mariadbd 2>/dev/null || true)
if [ -z "$server" ] || ! command -v mariadb-install-db >/dev/null; then
  echo "private_mariadb: MariaDB is not installed (scripts/deps test)" >&2
  exit 77
fi
[ $# -ge 1 ] || { echo "usage: private_mariadb.sh COMMAND [ARGS...]" >&2; exit 2; }

dir=$(mktemp -d /tmp/larkspur-mariadb.XXXXXX)
chmod 755 "$dir"
user=$(id -un)
pid=

stop() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM HUP

mariadb-install-db --no-defaults --datadir="$dir/data" --user="$user" \
  --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 ||
  { cat "$dir/install.log" >&2; exit 1; }
"$server" --no-defaults --datadir="$dir/data" --socket="$dir/mysql.sock" --skip-networking \
  --user="$user" --pid-file="$dir/mariadbd.pid" --log-error="$dir/server.log" \
  --innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=2 --max-connections=300 \
  </dev/null >/dev/null 2>&1 &
pid=$!
for _ in $(seq 300); do
  [ -S "$dir/mysql.sock" ] && mariadb --no-defaults -S "$dir/mysql.sock" -u root \
    -e 'CREATE DATABASE IF NOT EXISTS larkspur' 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$dir/server.log" >&2; exit 1; }
  sleep 0.1
done
[ -S "$dir/mysql.sock" ] || { echo "private_mariadb: no server after 30 s" >&2; exit 1; }

parent=$$
setsid bash -c "while kill -0 $parent 2>/dev/null; do sleep 1; done
  kill -9 $pid 2>/dev/null; rm -rf '$dir'" </dev/null >/dev/null 2>&1 &

export LARKSPUR_TEST_MYSQL="sock=$dir/mysql.sock user=root dbname=larkspur"
export LARKSPUR_TEST_MYSQL_PID=$pid
status=0
"$@" || status=$?
exit $status
