#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# larkspur.exe under wine, one case per run: cgi_cases.sh CASE.
# From CTest's environment: LARKSPUR_EXE, LOCK_HOLDER, WINE_RUN (the wine
# wrapper), LARKSPUR_WINEPREFIX, EXPECTED_DIR, WORK_DIR.
set -uo pipefail

case_name=$1
script=/cgi-bin/larkspur.exe
lock_name=LarkspurByWren_ZmyPB7A

fail() {
  echo "FAIL ($case_name): $*" >&2
  exit 1
}

# A site of its own: larkspur.exe.ini, the AuthUserFile and the log in the
# working directory the program is started in.
site=$WORK_DIR/$case_name
new_site() {
  rm -rf "$site"
  mkdir -p "$site"
  cd "$site" || fail "no site"
  printf '%s\n' '[path]' 'auth_user_file=users' 'log_file=activity.log' '[setup]' \
    'password_min_length=4' '[html]' 'title=Change password' > larkspur.exe.ini
}

# run_cgi NAME METHOD [BODY_FILE [CONTENT_TYPE [CONTENT_LENGTH]]]: the
# response goes to NAME.out, the exit status to $status.
run_cgi() {
  local name=$1 method=$2 body=${3:-/dev/null} type=${4:-application/x-www-form-urlencoded}
  local length=${5:-$(stat -c %s "$body")}
  env GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD="$method" SCRIPT_NAME="$script" \
    CONTENT_TYPE="$type" CONTENT_LENGTH="$length" REMOTE_ADDR=192.0.2.7 REMOTE_USER=alice \
    "$WINE_RUN" "$LARKSPUR_EXE" < "$body" > "$name.out" 2> "$name.err"
  status=$?
}

# change_body FILE NAME OLD NEW: the form's submission, values as given
# (the cases choose values that need no URL encoding, or raw bytes on purpose).
change_body() {
  printf 'name=%s&op=%s&p1=%s&p2=%s&chgpasswd=Change' "$2" "$3" "$4" "$4" > "$1"
}

expect_status() {
  [ "$status" = "$1" ] || fail "exit status $status, expected $1"
}

expect_in() {
  grep -qF -- "$2" "$1" || { cat "$1" >&2; fail "$1 lacks '$2'"; }
}

verifies() {
  htpasswd -vb users "$1" "$2" >/dev/null 2>&1 || { cat users >&2; fail "$1's password is not '$2'"; }
}

users_file() {
  : > users
  while [ $# -gt 0 ]; do
    htpasswd -b"$1" users "$2" "$3" 2>/dev/null || fail "htpasswd"
    shift 3
  done
}

# check_row NAME STATUS SETUP INI EXPECTED: --check in a fresh site whose
# larkspur.exe.ini holds INI (none when empty), after running SETUP there.
# "@" in INI and EXPECTED is the site's directory as Windows names it.
check_row() {
  local name=$1 want=$2 setup=$3 ini=$4 expected=$5
  new_site
  local here
  here=$(pwd -P)
  local windows_site="Z:${here//\//\\}"
  rm larkspur.exe.ini
  [ -n "$ini" ] && printf '%s\n' "${ini//@/"$windows_site"}" > larkspur.exe.ini
  eval "$setup"
  find . | sort > "$WORK_DIR/$name.before"
  "$WINE_RUN" "$LARKSPUR_EXE" --check > "$name.out" 2> "$name.err"
  status=$?
  printf '%s\n' "${expected//@/"$windows_site"}" > "$name.expected"
  cmp -s "$name.out" "$name.expected" ||
    { diff "$name.expected" "$name.out" >&2; fail "$name: --check printed other lines"; }
  [ -s "$name.err" ] && { cat "$name.err" >&2; fail "$name: --check wrote to standard error"; }
  expect_status "$want"
  # Nothing made, nothing left: not the log, not the probe of the directory.
  find . | grep -vxF -e "./$name.out" -e "./$name.err" -e "./$name.expected" | sort |
    diff "$WORK_DIR/$name.before" - >&2 || fail "$name: --check changed the files of the site"
}

# Files left in the prefix's temporary folder, or in the one wine's TMPDIR
# names (which a program could also reach through Z:).
temp_files() {
  find "$LARKSPUR_WINEPREFIX/drive_c/users" -path '*/Temp/*' -type f 2>/dev/null | sort
  find "$LARKSPUR_WINEPREFIX.tmp" -type f 2>/dev/null | sort
}

case $case_name in
  prefix)
    # The first program run creates the prefix.
    mkdir -p "$WORK_DIR" && cd "$WORK_DIR" || exit 1
    "$WINE_RUN" "$LARKSPUR_EXE" /? > /dev/null || fail "larkspur.exe /? did not run"
    ;;

  stop)
    WINEPREFIX=$LARKSPUR_WINEPREFIX wineserver -k 2>/dev/null
    exit 0
    ;;

  help)
    new_site
    for arg in '/?' -h; do
      "$WINE_RUN" "$LARKSPUR_EXE" "$arg" > help.out
      status=$?
      expect_status 0
      cmp help.out "$EXPECTED_DIR/help.txt" || fail "help text for $arg differs"
    done
    ;;

  form_page)
    new_site
    run_cgi form GET
    expect_status 0
    cmp form.out "$EXPECTED_DIR/form.html" || fail "form page differs"
    ;;

  change)
    new_site
    users_file m alice oldpass m bob bobpass
    bob_line=$(grep '^bob:' users)
    change_body body alice oldpass newpass1
    run_cgi change POST body
    expect_status 0
    expect_in change.out 'alice:changed password successfully'
    verifies alice newpass1
    [ "$(grep '^bob:' users)" = "$bob_line" ] || fail "bob's line changed"
    [ "$(wc -l < users)" = 2 ] || fail "users has $(wc -l < users) lines"
    grep -q $'\r' users && fail "the AuthUserFile got CR LF line ends"
    grep -qE '^alice:\$apr1\$[./0-9A-Za-z]{8}\$[./0-9A-Za-z]{22}$' users || fail "not an Apache MD5 hash"
    expect_in activity.log 'alice:changed password'
    [ -e users.tmp ] && fail "users.tmp left behind"
    ;;

  wrong_old_password)
    new_site
    users_file m alice oldpass
    cp users users.before
    change_body body alice notmine newpass1
    run_cgi wrong POST body
    expect_status 0
    expect_in wrong.out 'alice:old password is incorrect'
    cmp users users.before || fail "the AuthUserFile changed"
    expect_in activity.log 'alice:old password is incorrect'
    ;;

  verifies_linux_hashes)
    # Old passwords stored by Linux's htpasswd in every form APR verifies on
    # Windows; each user changes to a fresh Apache MD5 hash.
    new_site
    users_file m md5user pw-md5 B bcryptuser pw-bcrypt s shauser pw-sha
    for row in md5user:pw-md5 bcryptuser:pw-bcrypt shauser:pw-sha; do
      user=${row%%:*} old=${row#*:}
      change_body "body-$user" "$user" "$old" "new-$user"
      run_cgi "$user" POST "body-$user"
      expect_status 0
      expect_in "$user.out" "$user:changed password successfully"
      verifies "$user" "new-$user"
    done
    ;;

  contended_changes)
    # A holder keeps the mutex while two changes start: both must wait for
    # it, then both apply, neither undoing the other.
    new_site
    users_file m alice alicepass m bob bobpass
    change_body body-alice alice alicepass alice-new
    change_body body-bob bob bobpass bob-new
    "$WINE_RUN" "$LOCK_HOLDER" "$lock_name" hold 1500 > holder.out &
    holder=$!
    for _ in $(seq 100); do grep -q held holder.out && break; sleep 0.1; done
    grep -q held holder.out || fail "the holder did not get the mutex"
    run_cgi alice POST body-alice &
    first=$!
    run_cgi bob POST body-bob
    wait "$first" || fail "alice's change failed"
    wait "$holder" || fail "the holder failed"
    expect_status 0
    expect_in alice.out 'alice:changed password successfully'
    expect_in bob.out 'bob:changed password successfully'
    verifies alice alice-new
    verifies bob bob-new
    [ "$(grep -c 'changed password' activity.log)" = 2 ] || fail "two log lines expected"
    ;;

  abandoned_lock)
    # A process dies holding the mutex while two changes wait for it. The
    # one that inherits the abandoned mutex reports the failed wait and
    # changes nothing, but gives the mutex up: the other one goes through
    # rather than inherit an abandoned mutex in turn.
    new_site
    users_file m alice alicepass m bob bobpass
    change_body body-alice alice alicepass alice-new
    change_body body-bob bob bobpass bob-new
    "$WINE_RUN" "$LOCK_HOLDER" "$lock_name" abandon 3000 > holder.out &
    holder=$!
    for _ in $(seq 100); do grep -q held holder.out && break; sleep 0.1; done
    grep -q held holder.out || fail "the holder did not get the mutex"
    run_cgi alice POST body-alice &
    first=$!
    run_cgi bob POST body-bob
    wait "$first"
    wait "$holder"
    [ "$(grep -c 'Wait for mutex error' activity.log)" = 1 ] || { cat activity.log >&2; fail "one failed wait expected"; }
    [ "$(grep -c 'changed password' activity.log)" = 1 ] || { cat activity.log >&2; fail "one change expected"; }
    if grep -q 'Server error\.\.\.' alice.out; then failed=alice; else failed=bob; fi
    expect_in "$failed.out" 'Server error...'
    verifies "$failed" "${failed}pass"
    # Tried again, it goes through.
    run_cgi again POST "body-$failed"
    expect_in again.out "$failed:changed password successfully"
    verifies alice alice-new
    verifies bob bob-new
    ;;

  cut_short_body)
    # Multipart bodies that end before CONTENT_LENGTH, one inside an upload:
    # no response, exit status 255 and no upload file left behind.
    new_site
    boundary=----LarkspurCase
    before=$(temp_files)
    {
      printf -- '--%s\r\nContent-Disposition: form-data; name="name"\r\n\r\nalice\r\n' "$boundary"
      printf -- '--%s\r\nContent-Disposition: form-data; name="f"; filename="a.bin"\r\n' "$boundary"
      printf 'Content-Type: application/octet-stream\r\n\r\n'
      head -c 200000 /dev/zero | tr '\0' 'x'
    } > upload-cut
    printf -- '--%s\r\nContent-Disposition: form-data; name="na' "$boundary" > header-cut
    for body in upload-cut header-cut; do
      length=$(( $(stat -c %s $body) + 1000 ))
      run_cgi "$body" POST "$body" "multipart/form-data; boundary=$boundary" "$length"
      expect_status 255
      [ -s "$body.out" ] && fail "$body: a response was written"
      [ "$(temp_files)" = "$before" ] || fail "$body: an upload file was left: $(temp_files)"
    done
    ;;

  killed_upload)
    # The process is killed while an upload streams to its file: the file
    # goes with the process.
    new_site
    boundary=----LarkspurCase
    before=$(temp_files)
    mkfifo body.fifo
    (
      printf -- '--%s\r\nContent-Disposition: form-data; name="f"; filename="a.bin"\r\n' "$boundary"
      printf 'Content-Type: application/octet-stream\r\n\r\n'
      head -c 100000 /dev/zero
      exec sleep 60
    ) > body.fifo 2>/dev/null &
    writer=$!
    env GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST SCRIPT_NAME="$script" \
      CONTENT_TYPE="multipart/form-data; boundary=$boundary" CONTENT_LENGTH=1000000 \
      "$WINE_RUN" "$LARKSPUR_EXE" < body.fifo > killed.out &
    program=$!
    for _ in $(seq 100); do [ "$(temp_files)" != "$before" ] && break; sleep 0.1; done
    [ "$(temp_files)" != "$before" ] || fail "no upload file appeared"
    kill -KILL "$program"
    wait "$program" 2>/dev/null
    kill "$writer" 2>/dev/null
    for _ in $(seq 50); do [ "$(temp_files)" = "$before" ] && break; sleep 0.1; done
    [ "$(temp_files)" = "$before" ] || fail "the upload file outlived the process: $(temp_files)"
    ;;

  binary_stdin)
    # Raw CR LF, Ctrl-Z and NUL bytes in a field before the change's own. In
    # text mode the C runtime would shorten CR LF to LF and stop at Ctrl-Z:
    # the body would end short of CONTENT_LENGTH (exit 255). In binary mode
    # every byte arrives and the change goes through.
    new_site
    users_file m alice oldpass
    printf 'pad=\r\n\0\032\r\n\032&name=alice&op=oldpass&p1=newpass1&p2=newpass1&chgpasswd=Change' > body
    run_cgi binary POST body
    expect_status 0
    expect_in binary.out 'alice:changed password successfully'
    verifies alice newpass1
    ;;

  check)
    # --check from a console, as on Linux: one line per check, exit 0 only
    # when all pass. Paths with backslashes, slashes, a drive or none.
    lines() { printf '%s\n' "$@"; }
    ini_ok='ok   INI file @\larkspur.exe.ini'
    dir_ok='ok   auth_user_file directory . (writable)'
    no_log='ok   log_file (none): nothing is logged'
    defaults=$(lines 'ok   password_min_length (none): no minimum' 'ok   hash (none): md5' \
      'ok   charset (none): GB2312' 'ok   layout (none): classic')
    check_row good 0 'users_file m alice a m bob b; : > activity.log' \
      "$(lines '[path]' auth_user_file=users log_file=activity.log '[setup]' password_min_length=4)" \
      "$(lines "$ini_ok" 'ok   auth_user_file users (2 users)' "$dir_ok" \
        'ok   log_file activity.log (appendable)' 'ok   password_min_length 4' \
        'ok   hash (none): md5' 'ok   charset (none): GB2312' 'ok   layout (none): classic')"
    check_row absolute_paths 0 'users_file B alice a; mkdir logs' \
      "$(lines '[path]' 'auth_user_file=@\users' log_file=logs/activity.log '[setup]' hash=bcrypt \
        hash_cost=10)" \
      "$(lines "$ini_ok" 'ok   auth_user_file @\users (1 user)' \
        'ok   auth_user_file directory @ (writable)' \
        'ok   log_file logs/activity.log (will be created)' \
        'ok   password_min_length (none): no minimum' 'ok   hash bcrypt, hash_cost 10' \
        'ok   charset (none): GB2312' 'ok   layout (none): classic')"
    check_row missing_auth_user_file 1 '' "$(lines '[path]' auth_user_file=users)" \
      "$(lines "$ini_ok" 'FAIL auth_user_file users: No such file or directory' "$dir_ok" \
        "$no_log" "$defaults")"
    check_row missing_directory 1 '' \
      "$(lines '[path]' 'auth_user_file=nodir\users' 'log_file=nodir\x.log')" \
      "$(lines "$ini_ok" 'FAIL auth_user_file nodir\users: No such file or directory' \
        'FAIL auth_user_file directory nodir: a change cannot create its temporary file there: No such file or directory' \
        'FAIL log_file nodir\x.log: does not exist and cannot be created in nodir: No such file or directory' \
        "$defaults")"
    check_row directories_and_no_users 1 'mkdir sub; echo "# nobody yet" > users' \
      "$(lines '[path]' auth_user_file=users log_file=sub)" \
      "$(lines "$ini_ok" 'FAIL auth_user_file users: holds no user:hash line' "$dir_ok" \
        'FAIL log_file sub: not a regular file' "$defaults")"
    check_row auth_user_file_a_directory 1 'mkdir sub' "$(lines '[path]' auth_user_file=sub)" \
      "$(lines "$ini_ok" 'FAIL auth_user_file sub: not a regular file' "$dir_ok" "$no_log" \
        "$defaults")"
    check_row no_ini_file 1 '' '' 'FAIL INI file @\larkspur.exe.ini: No such file or directory'
    check_row crypt_scheme 1 'users_file m alice a' \
      "$(lines '[path]' auth_user_file=users '[setup]' hash=sha512)" \
      "$(lines "$ini_ok" 'ok   auth_user_file users (1 user)' "$dir_ok" "$no_log" \
        'ok   password_min_length (none): no minimum' \
        'FAIL hash sha512: hash = sha512 is not available here: use md5 or bcrypt' \
        'ok   charset (none): GB2312' 'ok   layout (none): classic')"
    ;;

  hash)
    # The scheme of new hashes. bcrypt is APR-util's own and works here; the
    # crypt(3) schemes need libcrypt, which Windows lacks: a configuration
    # fault that fails the change and leaves the file as it was.
    # Rows: hash setting (with hash_cost), alice's hash before, alice's line after
    # (an extended regular expression), or "fault" and the error log's line.
    while IFS='|' read -r hash before after; do
      new_site
      { printf '%s\n' '[path]' 'auth_user_file=users' 'log_file=activity.log' '[setup]'
        tr , '\n' <<< "$hash"; } > larkspur.exe.ini
      users_file "$before" alice oldpass m bob bobpass
      cp users users.before
      change_body body alice oldpass newpass1
      run_cgi "change" POST body
      expect_status 0
      if [ "${after%% *}" = fault ]; then
        expect_in change.out 'alice:change password failed'
        cmp users users.before || fail "$hash: the AuthUserFile changed"
        [ "$(cat change.err)" = "larkspur: ${after#fault }" ] ||
          { cat change.err >&2; fail "$hash: the error log lacks the fault"; }
        expect_in activity.log 'alice:change password failed'
      else
        expect_in change.out 'alice:changed password successfully'
        grep -qE "^alice:$after\$" users || { cat users >&2; fail "$hash: not the hash expected"; }
        verifies alice newpass1
        [ "$(grep '^bob:' users)" = "$(grep '^bob:' users.before)" ] || fail "$hash: bob's line changed"
      fi
    done <<'ROWS'
hash=bcrypt|m|\$2y\$05\$[./0-9A-Za-z]{53}
hash=bcrypt,hash_cost=10|m|\$2y\$10\$[./0-9A-Za-z]{53}
hash=keep|B|\$2y\$05\$[./0-9A-Za-z]{53}
hash=keep|m|\$apr1\$[./0-9A-Za-z]{8}\$[./0-9A-Za-z]{22}
hash=md5|B|\$apr1\$[./0-9A-Za-z]{8}\$[./0-9A-Za-z]{22}
hash=sha512|m|fault hash = sha512 is not available here: use md5 or bcrypt
hash=sha256|m|fault hash = sha256 is not available here: use md5 or bcrypt
hash=yescrypt|B|fault hash = yescrypt is not available here: use md5 or bcrypt
ROWS
    ;;

  *)
    fail "no such case"
    ;;
esac

# Every check above ends the run on failure.
exit 0
