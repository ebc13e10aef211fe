#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package on this machine: build it, lintian, follow the
# installation guide's recipe for it (tests/install/recipe_test.sh), install
# it, serve it from a private Apache that includes the installed configuration,
# change a password through it, run --check as www-data, then purge it and
# check that nothing of it is left outside /var/lib/larkspur and
# /var/log/larkspur.
#
# Needs root (it installs a package). The system's apache2 service is not
# started, stopped or reloaded.
set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD

if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: the package test installs a package and needs root"
  exit 77
fi
for tool in dpkg-buildpackage lintian apache2 htpasswd curl runuser; do
  if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
    echo "FAIL: $tool is missing (scripts/deps test installs it)"
    exit 1
  fi
done
apache=$(command -v apache2 || echo /usr/sbin/apache2)

# One package test at a time on this machine.
exec 9>/run/lock/larkspur-package-test.lock
flock 9

work=$(mktemp -d /tmp/larkspur-package-XXXXXX)
chmod 0755 "$work"
fail() {
  echo "FAIL: $*"
  exit 1
}
step() { echo "== $*"; }

# dpkg refuses to run while another dpkg or apt holds its lock: wait.
dpkg_retry() {
  local i out
  for i in $(seq 120); do
    if out=$(dpkg "$@" 2>&1); then
      echo "$out"
      return 0
    fi
    case "$out" in *"frontend lock"* | *"database is locked"*) sleep 5 ;; *) echo "$out"; return 1 ;; esac
  done
  echo "$out"
  return 1
}

data=/var/lib/larkspur
auth=$data/htpasswd
logs=/var/log/larkspur
log=$logs/larkspur.log
if [ -e "$auth" ] || [ -e "$log" ]; then
  echo "SKIPPED: $auth or $log already exists; not touching them"
  exit 77
fi
data_existed=no
[ -d "$data" ] && data_existed=yes
logs_existed=no
[ -d "$logs" ] && logs_existed=yes

stop_apache() {
  local pid
  pid=$(cat "$work/run/httpd.pid" 2>/dev/null) || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
}

cleanup() {
  set +e
  stop_apache
  if dpkg-query -W -f='${Status}' larkspur 2>/dev/null | grep -q "ok installed"; then
    dpkg_retry --purge larkspur >/dev/null
  fi
  rm -f "$auth" "$auth".* "$log"
  [ "$data_existed" = no ] && rmdir "$data" 2>/dev/null
  [ "$logs_existed" = no ] && rmdir "$logs" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if dpkg-query -W -f='${Status}' larkspur 2>/dev/null | grep -q installed; then
  fail "larkspur is already installed on this machine; purge it first"
fi

step "build, with the installation guide's commands"
deb=$(bash <(tests/install/recipe_test.sh --script package-build) | tail -n 1) ||
  fail "the guide's build of the package failed"
deb=$source/$deb

step "lintian"
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"

step "the installation guide's recipe, in namespaces of its own"
tests/install/recipe_test.sh package 9>&- || fail "the guide's package recipe"

step "install"
# Which of the package's paths were there before: those must stay.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||; s|/$||' | grep -v '^$' >"$work/paths"
while read -r p; do [ -e "$p" ] || [ -L "$p" ] && echo "$p"; done <"$work/paths" >"$work/before"
dpkg_retry -i "$deb" >"$work/install.log" || { cat "$work/install.log"; fail "dpkg -i failed"; }
grep -q "a2enmod cgid && a2enconf larkspur" "$work/install.log" || fail "no postinst hint"
[ "$(stat -c '%U:%G %a' "$data")" = "www-data:www-data 750" ] || fail "$data: $(stat -c '%U:%G %a' "$data")"
[ "$(stat -c '%U:%G %a' "$logs")" = "www-data:adm 750" ] || fail "$logs: $(stat -c '%U:%G %a' "$logs")"
grep -q "^log_file = $log\$" /etc/larkspur/larkspur.cgi.ini || fail "the INI logs elsewhere"
grep -q "^$log {" /etc/logrotate.d/larkspur || fail "logrotate rotates another file"
[ "$(readlink -f /usr/lib/cgi-bin/larkspur.cgi.ini)" = /etc/larkspur/larkspur.cgi.ini ] ||
  fail "the INI link does not lead to /etc/larkspur"
/usr/lib/cgi-bin/larkspur.cgi --version | grep -q "^Larkspur [0-9]" || fail "--version"
grep -q "^enabled *= *false" /etc/fail2ban/jail.d/larkspur.conf || fail "the fail2ban jail is not disabled"
[ -f /etc/fail2ban/filter.d/larkspur.conf ] || fail "no fail2ban filter"

step "AuthUserFile"
runuser -u www-data -- htpasswd -cbB "$auth" alice old-password-1 2>/dev/null
sed -i "s|^auth_user_file *=.*|auth_user_file = $auth|" /etc/larkspur/larkspur.cgi.ini

step "--check as www-data"
check=$(cd /usr/lib/cgi-bin && runuser -u www-data -- ./larkspur.cgi --check) ||
  { echo "$check"; fail "--check failed"; }
echo "$check"
echo "$check" | grep -qx "ok   auth_user_file $auth (1 user)" || fail "--check did not see $auth"
if echo "$check" | grep -v '^ok   '; then fail "--check printed more than ok lines"; fi

step "private Apache"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
modules=/usr/lib/apache2/modules
mkdir -p "$work"/{htdocs/private,logs,run}
echo "private" >"$work/htdocs/private/index.html"
chmod -R a+rX "$work"
cat >"$work/httpd.conf" <<CONF
ServerRoot "$work"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$work/run/httpd.pid"
DefaultRuntimeDir "$work/run"
Mutex file:$work/run default
ErrorLog "$work/logs/error.log"
LogLevel warn
User www-data
Group www-data
LoadModule mpm_event_module $modules/mod_mpm_event.so
<IfModule !unixd_module>
  LoadModule unixd_module $modules/mod_unixd.so
</IfModule>
LoadModule cgid_module $modules/mod_cgid.so
LoadModule alias_module $modules/mod_alias.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule mime_module $modules/mod_mime.so
LoadModule dir_module $modules/mod_dir.so
ScriptSock "$work/run/cgid.sock"
TypesConfig /etc/mime.types
<Directory />
  Options None
  AllowOverride None
  Require all denied
</Directory>
DocumentRoot "$work/htdocs"
<Directory "$work/htdocs">
  Require all granted
</Directory>
<Directory "$work/htdocs/private">
  AuthType Basic
  AuthName "Private"
  AuthUserFile "$auth"
  Require valid-user
</Directory>
# As a2enconf would have it: Debian's CGI directory, then the package's.
Include /etc/apache2/conf-available/serve-cgi-bin.conf
Include /etc/apache2/conf-available/larkspur.conf
CONF
"$apache" -t -f "$work/httpd.conf" 2>&1 | grep -v "Syntax OK" && fail "Apache warns about the configuration"
# Apache must not inherit the test's lock, nor ctest's output pipes.
"$apache" -f "$work/httpd.conf" -k start 9>&- </dev/null >/dev/null 2>&1 || fail "Apache did not start"
url=http://127.0.0.1:$port
for _ in $(seq 50); do curl -s -o /dev/null "$url/" && break; sleep 0.2; done

status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
[ "$(status "$url/cgi-bin/larkspur.cgi")" = 401 ] || fail "the form is not behind basic auth"
[ "$(status -u alice:old-password-1 "$url/cgi-bin/larkspur.cgi")" = 200 ] || fail "the form"
[ "$(status -u alice:old-password-1 "$url/cgi-bin/larkspur.cgi.ini")" = 403 ] || fail "the INI is served"

step "change a password"
page=$(curl -s -u alice:old-password-1 -F name=alice -F op=old-password-1 \
  -F p1=new-Lark-spur-22 -F p2=new-Lark-spur-22 -F chgpasswd=Change "$url/cgi-bin/larkspur.cgi")
echo "$page" | grep -q "alice:changed password successfully" || { echo "$page"; fail "no success page"; }
[ "$(status -u alice:new-Lark-spur-22 "$url/private/")" = 200 ] || fail "Apache refuses the new password"
[ "$(status -u alice:old-password-1 "$url/private/")" = 401 ] || fail "Apache still takes the old password"
grep -q "\] \[127.0.0.1\]\[alice\] alice:changed password$" "$log" || { cat "$log"; fail "log line"; }
[ "$(stat -c %U "$auth")" = www-data ] || fail "the AuthUserFile changed owner"

step "a log rotated to the wrong owner is reported in Apache's error log"
chown root:adm "$log"
page=$(curl -s -u alice:new-Lark-spur-22 -F name=alice -F op=wrong -F p1=long-enough-3-Qz -F p2=long-enough-3-Qz \
  -F chgpasswd=Change "$url/cgi-bin/larkspur.cgi")
echo "$page" | grep -q "alice:old password is incorrect" || { echo "$page"; fail "no failure page"; }
grep -q "larkspur: cannot write the log $log: Permission denied" "$work/logs/error.log" ||
  { cat "$work/logs/error.log"; fail "no diagnostic in Apache's error log"; }
if grep -q "new-Lark-spur-22\|long-enough-3-Qz" "$work/logs/error.log"; then
  fail "a password reached the error log"
fi

stop_apache

step "purge"
dpkg_retry --purge larkspur >/dev/null || fail "dpkg --purge failed"
[ -f "$auth" ] || fail "purging removed the AuthUserFile"
left=0
while read -r p; do
  case "$p" in "$data" | "$data"/* | "$logs" | "$logs"/*) continue ;; esac
  grep -qxF "$p" "$work/before" && continue
  if [ -e "$p" ] || [ -L "$p" ]; then echo "left behind: $p"; left=1; fi
done <"$work/paths"
for p in /etc/larkspur /etc/apache2/conf-enabled/larkspur.conf; do
  if [ -e "$p" ] || [ -L "$p" ]; then echo "left behind: $p"; left=1; fi
done
[ "$left" = 0 ] || fail "the purge left files behind"
echo "PASS"
