#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A bounded soak: 300 password changes from 8 concurrent clients through
# larkspur.cgi while the clients SIGKILL a random share of their own
# requests at random moments (before the lock, waiting for it, while the
# file is written). Afterwards:
#   - every line of the AuthUserFile is user:$apr1$..., no record lost,
#     duplicated or reordered, every untouched record byte for byte as before;
#   - every reported success verifies with htpasswd -vb; a killed change left
#     either the old or the new password, a refused one the old;
#   - no temporary file is left: no upload temp of a request that was not
#     killed, and a "<file>.tmp" only from a killed writer (reported);
#   - the update lock is free again: one more change succeeds.
# Not part of the test run. Takes about ten seconds; gives up after 150 s.
# Usage: bench/soak.sh [--changes N] [--clients N] [--users N] [--kill-percent P]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${LARKSPUR_BENCH_BUILD:-$root/build/bench}
changes=300 clients=8 users=100000 kill_percent=40 upload_percent=25
while [ $# -gt 0 ]; do
  case "$1" in
    --changes) changes=$2; shift ;;
    --clients) clients=$2; shift ;;
    --users) users=$2; shift ;;
    --kill-percent) kill_percent=$2; shift ;;
    *) echo "usage: $0 [--changes N] [--clients N] [--users N] [--kill-percent P]" >&2; exit 2 ;;
  esac
  shift
done
deadline=150

# LARKSPUR_CGI runs another build of the program (it must be named larkspur.cgi).
cgi=${LARKSPUR_CGI:-}
if [ -z "$cgi" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BENCH=ON \
    -DLARKSPUR_TESTS=OFF >/dev/null
  cmake --build "$build" --target larkspur -j2 >/dev/null
  cgi=$build/larkspur.cgi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/larkspur-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site" "$work/tmp" "$work/clients"
file=$work/site/users
printf '[path]\nauth_user_file=%s\nlog_file=%s\n[setup]\npassword_min_length=1\n' \
  "$file" "$work/site/larkspur.log" >"$work/site/larkspur.cgi.ini"

old='old-secret'
hashes=()
for _ in $(seq 16); do hashes+=("$(htpasswd -nbm x "$old" | cut -d: -f2-)"); done
awk -v n="$users" -v list="${hashes[*]}" 'BEGIN {
  split(list, h, " ")
  for (i = 0; i < n; i++) printf "user%07d:%s\n", i, h[i % 16 + 1]
}' >"$file"
cp "$file" "$work/original"

# Some requests carry a file part as well, so that killed requests can show
# whether their upload temporary files stay behind.
head -c 262144 /dev/urandom | tr -d '\r' >"$work/upload"
boundary=----WebKitFormBoundaryS0akS0akS0akS0ak
make_body() {  # user old new with_upload
  local kv
  for kv in "name=$1" "op=$2" "p1=$3" "p2=$3"; do
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' \
      "$boundary" "${kv%%=*}" "${kv#*=}"
  done
  if [ "$4" = 1 ]; then
    printf -- '--%s\r\nContent-Disposition: form-data; name="file"; filename="notes.bin"\r\n' "$boundary"
    printf 'Content-Type: application/octet-stream\r\n\r\n'
    cat "$work/upload"
    printf '\r\n'
  fi
  printf -- '--%s\r\nContent-Disposition: form-data; name="chgpasswd"\r\n\r\nChange\r\n' "$boundary"
  printf -- '--%s--\r\n' "$boundary"
}

# One request; prints the CGI's pid. Runs in the site directory with the
# shared TMPDIR, where upload files go.
start_request() {  # body out
  (
    cd "$work/site"
    length=$(stat -c %s "$1")
    export TMPDIR=$work/tmp REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/larkspur.cgi \
      REMOTE_ADDR=127.0.0.1 CONTENT_TYPE="multipart/form-data; boundary=$boundary" \
      CONTENT_LENGTH=$length
    exec "$cgi" <"$1" >"$2"
  ) &
}

# How long one change takes when nobody else runs: kills are spread over
# up to three times that.
make_body user0000000 "$old" "$old" 0 >"$work/calibrate"
t0=$(date +%s%N)
start_request "$work/calibrate" "$work/calibrate.out"
wait $!
took_ms=$(( ($(date +%s%N) - t0) / 1000000 + 1 ))
grep -q 'changed password successfully' "$work/calibrate.out" ||
  { echo "soak: the calibration change failed" >&2; cat "$work/calibrate.out" >&2; exit 1; }

random_pause() {  # up to $1 milliseconds
  sleep "$(awk -v r="$RANDOM" -v s="$1" 'BEGIN { printf "%.4f", r / 32768 * s / 1000 }')"
}

# Half the kills strike at a random moment, mostly while the request waits
# for the lock; the other half wait until the request holds the lock (its
# flock shows in /proc/locks), so that they land in reading, hashing,
# writing "<file>.tmp", the rename or the log line.
kill_at_random() {  # pid
  random_pause $((took_ms * 3))
  kill -KILL "$1" 2>/dev/null || true
}
kill_lock_holder() {  # pid; true when it held the lock
  local kind mode holder state
  for ((;;)); do
    # The request may end between two looks: then there is nothing to kill.
    { read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || return 1
    [ "$state" != Z ] || return 1
    while read -r _ kind _ mode holder _; do
      if [ "$kind" = FLOCK ] && [ "$mode" = WRITE ] && [ "$holder" = "$1" ]; then
        random_pause "$took_ms"
        kill -KILL "$1" 2>/dev/null || true
        return 0
      fi
    done </proc/locks
    read -r -t 0.0005 -u "$nap" _ || true
  done
}

# Client c changes users c, c + clients, c + 2 * clients, ...: every change
# is to a user nobody changed before, so each outcome can be checked at the
# end. It kills only its own unreaped child, so the pid cannot be another's.
client() {
  local c=$1 k=0 u user new upload body out pid rc kill_it how
  local log=$work/clients/$c.log nap
  # A pipe nobody writes to: read -t on it pauses without starting a process.
  exec {nap}<> <(:)
  body=$work/clients/$c.body out=$work/clients/$c.out
  : >"$log"
  for ((u = c + clients; u < (changes + 1) * clients; u += clients)); do
    (( k * clients + c < changes )) || break
    (( SECONDS < deadline )) || { echo "timeout $c" >>"$log"; break; }
    user=$(printf 'user%07d' "$u")
    new=p$c-$k-$RANDOM
    upload=$(( RANDOM % 100 < upload_percent ? 1 : 0 ))
    kill_it=$(( RANDOM % 100 < kill_percent ? 1 : 0 ))
    make_body "$user" "$old" "$new" "$upload" >"$body"
    start_request "$body" "$out"
    pid=$!
    how=-
    if [ "$kill_it" = 1 ]; then
      if (( RANDOM % 2 )); then
        kill_at_random "$pid"
        how=random
      elif kill_lock_holder "$pid"; then
        how=holder
      fi
    fi
    rc=0
    # Quietly: the shell would announce every kill.
    { wait "$pid"; } 2>/dev/null || rc=$?
    if grep -q "$user:changed password successfully" "$out"; then
      echo "ok $user $new $upload" >>"$log"
    elif [ "$rc" = 137 ]; then
      echo "killed $user $new $upload $how" >>"$log"
    else
      echo "refused $user $new $upload $rc $(grep -o 'center">[^<]*' "$out" | tail -1)" >>"$log"
    fi
    k=$((k + 1))
  done
}

SECONDS=0
for ((c = 0; c < clients; c++)); do client "$c" & done
wait
elapsed=$SECONDS
cat "$work"/clients/*.log >"$work/outcomes"

problems=()
problem() { problems+=("$*"); }

# The file: every line a record with an Apache MD5 hash, the users in their
# original order, each once, the untouched ones byte for byte.
# shellcheck disable=SC2016 # the dollars are the hash's own
bad_lines=$(grep -cvE '^user[0-9]{7}:\$apr1\$[./0-9A-Za-z]{1,8}\$[./0-9A-Za-z]{22}$' "$file" || true)
[ "$bad_lines" = 0 ] || problem "$bad_lines lines are not user:\$apr1\$ records"
cut -d: -f1 "$file" >"$work/users.now"
cut -d: -f1 "$work/original" >"$work/users.before"
cmp -s "$work/users.now" "$work/users.before" || problem "records were lost, duplicated or reordered"
{ awk '{ print $2 }' "$work/outcomes"; echo user0000000; } | sort -u >"$work/touched"
changed_untouched=$(grep -vFf <(sed 's/$/:/' "$work/touched") "$file" |
  cmp - <(grep -vFf <(sed 's/$/:/' "$work/touched") "$work/original") >/dev/null 2>&1 && echo 0 || echo 1)
[ "$changed_untouched" = 0 ] || problem "a record nobody changed is different"

verify() { htpasswd -vb "$file" "$1" "$2" >/dev/null 2>&1; }
ok=0 killed=0 killed_applied=0 refused=0 killed_upload=0 killed_holders=0
while read -r outcome user new upload rest; do
  case $outcome in
    ok)
      ok=$((ok + 1))
      verify "$user" "$new" || problem "$user: reported changed, but the new password does not verify" ;;
    killed)
      killed=$((killed + 1))
      [ "$upload" = 1 ] && killed_upload=$((killed_upload + 1))
      [ "$rest" = holder ] && killed_holders=$((killed_holders + 1))
      if verify "$user" "$new"; then
        killed_applied=$((killed_applied + 1))
      else
        verify "$user" "$old" || problem "$user: killed, and neither the old nor the new password verifies"
      fi ;;
    refused)
      refused=$((refused + 1))
      echo "refused: $user $rest" >&2
      verify "$user" "$old" || problem "$user: refused, yet the old password no longer verifies" ;;
    timeout) problem "client $user stopped at the ${deadline}s deadline" ;;
  esac
done <"$work/outcomes"
total=$((ok + killed + refused))
[ "$total" = "$changes" ] || problem "only $total of $changes changes ran"

logged=$(grep -c ':changed password$' "$work/site/larkspur.log" || true)
# The calibration change is logged too.
logged=$((logged - 1))
if [ "$logged" -lt "$ok" ] || [ "$logged" -gt $((ok + killed_applied)) ]; then
  problem "$logged changes logged for $ok reported and $killed_applied killed-but-applied"
fi

leftover_tmp=no
[ -e "$file.tmp" ] && leftover_tmp=yes
[ "$leftover_tmp" = no ] || [ "$killed" -gt 0 ] || problem "$file.tmp left without any killed writer"
# Upload files have no name, so not even a killed request leaves one.
uploads_left=$(find "$work/tmp" -name 'larkspur-upload-*' | wc -l)
[ "$uploads_left" = 0 ] ||
  problem "$uploads_left upload temporaries left ($killed_upload killed requests carried one)"
others=$(find "$work/tmp" "$work/site" -mindepth 1 -not -name 'larkspur-upload-*' \
  -not -name users.lock -not -name users.failures -not -name users -not -name users.tmp \
  -not -name larkspur.log -not -name larkspur.cgi.ini | wc -l)
[ "$others" = 0 ] || problem "$others unexpected files left"

# The lock must be free again after all the kills.
make_body user0000000 "$old" after-soak 0 >"$work/after"
start_request "$work/after" "$work/after.out"
wait $!
if ! grep -q 'changed password successfully' "$work/after.out" ||
  ! verify user0000000 after-soak; then
  problem "a change after the soak failed: the lock or the file is stuck"
fi

cat <<EOF
| Soak | |
|---|---|
| Changes, clients, users in the file | $total, $clients, $users |
| Reported changed (all verify) | $ok |
| Killed with SIGKILL | $killed: $killed_holders while holding the lock; $killed_applied after replacing the file |
| Refused (lock wait timed out or other) | $refused |
| <file>.tmp left by a killed writer | $leftover_tmp |
| Upload temporaries left by killed requests | $uploads_left (of $killed_upload killed requests carrying an upload) |
| Time | ${elapsed} s |
EOF
if [ ${#problems[@]} -gt 0 ]; then
  printf 'soak FAILED: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "soak passed" >&2
