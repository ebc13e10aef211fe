#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one installation recipe of docs/install.md exactly as written, then
# uses the site it made and undoes it as the guide says.
#
#   tests/install/recipe_test.sh NAME     # NAME: apache, nginx or package
#   tests/install/recipe_test.sh --script NAME   # prints recipe NAME as a script
#
# In the guide, a shell block preceded by "<!-- run: NAME -->" is a step of
# recipe NAME, and one preceded by "<!-- output: NAME -->" is what the step
# before it prints, compared byte for byte; "<!-- run: NAME-undo -->" undoes
# it. Every fenced block carries one of these marks or "<!-- not run: why -->".
#
# The recipe runs as root in namespaces of its own: /etc, /usr and /var are
# overlays whose writes vanish with it, /run is empty, and the network is a
# loopback of its own, so that Apache and nginx listen on port 80 as on a
# fresh machine without touching this one's. A stand-in for systemctl starts
# or reloads the servers, since systemd cannot run there. The release build
# the by-hand steps make goes to build/recipes/release, kept between runs.
# The package recipe installs build/package/*.deb, which package_test.sh
# builds before it calls this.
set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD
name=${1:?usage: tests/install/recipe_test.sh NAME}
guide=$source/docs/install.md

fail() {
  echo "FAIL: $*"
  exit 1
}

# Every fenced block of the guide, as "MARK<TAB>first line number".
marks() {
  awk '
    /^<!-- (run|output): [a-z-]+ -->$/ { mark = $2 " " $3; next }
    /^<!-- not run: .* -->$/ { mark = "not-run"; next }
    /^```/ {
      if (open) { open = 0; next }
      open = 1; print (mark == "" ? "unmarked" : mark) "\t" NR; mark = ""; next
    }
    !open && NF { mark = "" }' "$guide"
}

# The body of the block that starts at line $1.
block_at() {
  awk -v from="$1" 'NR > from && /^```/ { exit } NR > from' "$guide"
}

unmarked=$(marks | awk -F'\t' '$1 == "unmarked" { print $2 }')
[ -z "$unmarked" ] || fail "docs/install.md: blocks at lines $(echo $unmarked) carry no run mark"

# The README's short form of each recipe: every command in it is one of the guide's.
while IFS= read -r command; do
  grep -qxF -- "$command" <(sed 's/ *#.*//; s/ && /\n/g' "$guide") ||
    fail "README.md: '$command' is no command of docs/install.md"
done < <(sed -n '/^## Installing$/,/^## [^I]/p' README.md | sed -n 's/^    //p' |
  sed 's/ *#.*//; s/ && /\n/g' | sed '/^$/d')

# The recipe and its undo as scripts: a step followed by an output block has
# its standard output compared with it.
work=$(mktemp -d /tmp/larkspur-recipe-XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
write_script() {
  local recipe=$1 script=$2 n=0 mark line pending=''
  echo 'set -eo pipefail' >"$script"
  while IFS=$'\t' read -r mark line; do
    case "$mark" in
      "run: $recipe")
        [ -z "$pending" ] || cat "$pending" >>"$script"
        n=$((n + 1))
        pending=$work/step-$recipe-$n
        block_at "$line" >"$pending" ;;
      "output: $recipe")
        [ -n "$pending" ] || fail "an output block of $recipe follows no step"
        block_at "$line" >"$work/expected-$n"
        { echo "{"; cat "$pending"; echo "} >$work/printed-$n"
          echo "diff -u $work/expected-$n $work/printed-$n"; } >>"$script"
        pending='' ;;
    esac
  done < <(marks)
  [ -z "$pending" ] || cat "$pending" >>"$script"
  [ "$n" -gt 0 ] || fail "docs/install.md has no recipe $recipe"
}
# package_test.sh builds the package with the guide's own commands.
if [ "$name" = --script ]; then
  write_script "${2:?}" "$work/script.sh"
  cat "$work/script.sh"
  exit 0
fi
write_script "$name" "$work/recipe.sh"
write_script "$name-undo" "$work/undo.sh"

if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: the recipes run as root, as the guide says"
  exit 77
fi
for tool in unshare ip curl apache2 nginx fcgiwrap; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    fail "$tool is missing (scripts/deps test installs it)"
done
if [ "$name" = package ]; then
  ls build/package/larkspur_*.deb >/dev/null 2>&1 || fail "no package in build/package: run scripts/package"
fi
mkdir -p build/recipes/release build/release

# systemctl for the servers this test starts, as their Debian units would.
mkdir -p "$work/bin"
cat >"$work/bin/systemctl" <<'SH'
#!/bin/sh
running() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }
case "$1 $2" in
  "reload apache2" | "restart apache2" | "start apache2")
    if running /run/apache2/apache2.pid; then exec apache2ctl graceful; else exec apache2ctl start; fi ;;
  "reload nginx" | "restart nginx" | "start nginx")
    if running /run/nginx.pid; then exec nginx -s reload; else exec nginx; fi ;;
esac
echo "systemctl $*: not available to the recipe test" >&2
exit 1
SH
chmod 0755 "$work/bin/systemctl"
# What the newcomer types: the first password, twice, to htpasswd; and "yes"
# to apt's questions.
printf 'first-password-1\nfirst-password-1\n' >"$work/typed"
echo 'APT::Get::Assume-Yes "true";' >"$work/apt.conf"

# What the recipe must have made: a site where alice changes her password.
cat >"$work/use.sh" <<'SH'
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }
url=http://127.0.0.1
errors=$1 log=$2
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
for _ in $(seq 50); do curl -s -o /dev/null "$url/" && break; sleep 0.2; done
[ "$(status "$url/cgi-bin/larkspur.cgi")" = 401 ] || fail "the form is not behind basic auth"
[ "$(status -u alice:first-password-1 "$url/cgi-bin/larkspur.cgi.ini")" = 403 ] || fail "the INI is served"
[ "$(status -u alice:first-password-1 "$url/private/")" = 200 ] || fail "no private page for alice"
form=$(curl -s -u alice:first-password-1 "$url/cgi-bin/larkspur.cgi")
echo "$form" | grep -q '<meta charset="utf-8">' || { echo "$form"; fail "the form is not the UTF-8 modern one"; }
change() {
  curl -s -u "alice:$1" -F name=alice -F "op=$2" -F "p1=$3" -F "p2=$3" -F chgpasswd=Change \
    "$url/cgi-bin/larkspur.cgi"
}
page=$(change first-password-1 first-password-1 Grüße-second-2)
echo "$page" | grep -q "alice:changed password successfully" || { echo "$page"; fail "no success page"; }
[ "$(status -u alice:Grüße-second-2 "$url/private/")" = 200 ] || fail "the new password is refused"
[ "$(status -u alice:first-password-1 "$url/private/")" = 401 ] || fail "the old password still works"
grep -q "\] \[127.0.0.1\]\[alice\] alice:changed password$" "$log" ||
  fail "no log line"
# A failure on the server's side must reach the server's error log.
chown root:root "$log"
chmod 0600 "$log"
page=$(change Grüße-second-2 wrong-password third-password-3)
echo "$page" | grep -q "alice:old password is incorrect" || { echo "$page"; fail "no failure page"; }
for _ in $(seq 20); do grep -q "larkspur: cannot write the log" "$errors" && break; sleep 0.1; done
grep -q "larkspur: cannot write the log $log: Permission denied" "$errors" ||
  { cat "$errors"; fail "no larkspur: line in $errors"; }
! grep -q "third-password-3\|Grüße-second-2" "$errors" || fail "a password reached $errors"
SH

# Files the recipe left behind after its undo, besides the servers' logs and
# state and what the package tools keep.
cat >"$work/leftovers.sh" <<'SH'
scratch=$1
for d in etc usr var; do
  (cd "$scratch/$d/up" && find . -mindepth 1) | sed "s|^\.|/$d|" | while read -r p; do
    orig=$scratch/orig$p
    upper=$scratch/$d/up/${p#/"$d"/}
    case "$p" in
      /var/log/* | /var/lib/apache2/* | /var/lib/nginx/* | /var/cache/* | /var/lib/dpkg/* | \
        /var/lib/apt/* | /var/lib/systemd/* | /var/lib/ucf/* | /var/backups/* | /etc/ld.so.cache) continue ;;
    esac
    if [ -c "$upper" ] && [ "$(stat -c %t%T "$upper")" = 00 ]; then continue; fi  # removed
    if [ -d "$upper" ] && [ ! -L "$upper" ] && [ -d "$orig" ]; then continue; fi
    if [ -f "$upper" ] && [ -f "$orig" ] && cmp -s "$upper" "$orig"; then continue; fi
    if [ -L "$upper" ] && [ -L "$orig" ] && [ "$(readlink "$upper")" = "$(readlink "$orig")" ]; then continue; fi
    echo "$p"
  done
done
SH

cat >"$work/inside.sh" <<SH
set -euo pipefail
scratch=$work/root
mkdir -p "\$scratch"
mount -t tmpfs tmpfs "\$scratch"
for d in etc usr var; do
  mkdir -p "\$scratch/\$d/up" "\$scratch/\$d/work" "\$scratch/orig/\$d"
  mount --bind "/\$d" "\$scratch/orig/\$d"
  mount -t overlay overlay -o "lowerdir=/\$d,upperdir=\$scratch/\$d/up,workdir=\$scratch/\$d/work" "/\$d"
done
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/lock
mount --bind "$source/build/recipes/release" "$source/build/release"
ip link set lo up
export PATH=$work/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export DEBIAN_FRONTEND=noninteractive APT_CONFIG=$work/apt.conf
cd "$source"
errors=/var/log/apache2/error.log
[ "$name" != nginx ] || errors=/var/log/nginx/error.log
log=/var/lib/larkspur/larkspur.log
[ "$name" != package ] || log=/var/log/larkspur/larkspur.log
echo "== the recipe"
bash -x $work/recipe.sh <$work/typed || { echo "FAIL: a step of the recipe failed"; exit 1; }
echo "== the site it made"
bash $work/use.sh "\$errors" "\$log"
echo "== its undo"
cd "$source"
bash -x $work/undo.sh </dev/null || { echo "FAIL: a step of the undo failed"; exit 1; }
left=\$(bash $work/leftovers.sh "\$scratch")
[ -z "\$left" ] || { echo "\$left"; echo "FAIL: the undo left these behind"; exit 1; }
SH

# The servers and fcgiwrap die with the namespace when the script ends.
unshare --mount --net --pid --fork --mount-proc --propagation private bash "$work/inside.sh" 9>&- ||
  fail "recipe $name"
echo "PASS"
