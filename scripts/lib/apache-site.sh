#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lays out a self-contained Apache site that serves larkspur.cgi, and writes
# an Apache configuration file of its own for it. The demo and the
# end-to-end tests both use it, so that what is tested is what is shown.
#
#   scripts/lib/apache-site.sh --cgi PROGRAM --port PORT [--min-length N]
#                              [--charset NAME] [--layout classic|modern]
#                              [--hash SCHEME] [--dbm TYPE]
#                              [--dbd DRIVER [--dbd-params PARAMS]] DIR
#
# --layout modern (the demo's) writes layout = modern into the INI file;
# classic, the default, leaves the key out. Without --hash new passwords get
# Apache MD5 hashes, as they always have. --dbm db|gdbm|sdbm keeps the users
# in the DBM file DIR/data/users instead (the caller makes it with htdbm):
# private/ then logs in through mod_authn_dbm and admits only the DBM group
# "staff" through mod_authz_dbm.
#
# --dbd puts the users in a database that both Apache (mod_dbd and
# mod_authn_dbd) and the program read, in the table of contrib/sql: sqlite3
# makes DIR/data/users.db (PARAMS not needed); pgsql and mysql use the
# database PARAMS names, which must hold that schema already.
#
# DIR/httpd.conf      start with: apache2 -f DIR/httpd.conf -DFOREGROUND
# DIR/htdocs/         document root; private/ needs a login from the AuthUserFile
# DIR/cgi-bin/        larkspur.cgi (a copy of PROGRAM) and larkspur.cgi.ini
# DIR/data/           htpasswd (created empty) and larkspur.log: writable by
#                     the CGI's user, since the AuthUserFile is replaced by rename
# DIR/tmp/            TMPDIR of the CGI (uploads are held in memory)
# DIR/logs/, DIR/run/ Apache's own logs, pid file, mutexes and cgid socket
#
# The system's Apache configuration is not read or changed. Run as root, the
# children and the CGI run as $APACHE_USER (default www-data).
set -euo pipefail

usage() {
  echo "usage: $0 --cgi PROGRAM --port PORT [--min-length N] [--charset NAME]" \
    "[--layout classic|modern] [--hash SCHEME] [--dbm TYPE] [--setup 'KEY = VALUE']..." \
    "[--dbd DRIVER [--dbd-params PARAMS]] DIR" >&2
  exit 2
}

cgi='' port='' min_length=4 charset='' layout=classic hash='' dbm='' dir= setup=() dbd='' dbd_params=
while [ $# -gt 0 ]; do
  case "$1" in
    --cgi) cgi=${2:-}; shift 2 || usage ;;
    --port) port=${2:-}; shift 2 || usage ;;
    --min-length) min_length=${2:-}; shift 2 || usage ;;
    --charset) charset=${2:-}; shift 2 || usage ;;
    --layout) layout=${2:-}; shift 2 || usage ;;
    --hash) hash=${2:-}; shift 2 || usage ;;
    --dbm) dbm=${2:-}; shift 2 || usage ;;
    --setup) setup+=("${2:-}"); shift 2 || usage ;;
    --dbd) dbd=${2:-}; shift 2 || usage ;;
    --dbd-params) dbd_params=${2:-}; shift 2 || usage ;;
    -*) usage ;;
    *) [ -z "$dir" ] || usage; dir=$1; shift ;;
  esac
done
[ -n "$cgi" ] && [ -n "$port" ] && [ -n "$dir" ] || usage
[[ "$port" =~ ^[0-9]+$ ]] || { echo "apache-site: bad port: $port" >&2; exit 2; }
case "$layout" in classic|modern) ;; *) echo "apache-site: bad layout: $layout" >&2; exit 2 ;; esac
case "$dbm" in '') ;; db) dbm_type=DB ;; gdbm) dbm_type=GDBM ;; sdbm) dbm_type=SDBM ;;
  *) echo "apache-site: bad DBM type: $dbm" >&2; exit 2 ;; esac
[ -x "$cgi" ] || { echo "apache-site: no program at $cgi" >&2; exit 1; }
case "$dbd" in '') ;; sqlite3) ;; pgsql|mysql) [ -n "$dbd_params" ] || usage ;;
  *) echo "apache-site: bad driver: $dbd" >&2; exit 2 ;; esac
case "$dbd_params" in *$'\n'*|*\"*) echo "apache-site: unusable params" >&2; exit 2 ;; esac

modules=${APACHE_MODULES:-/usr/lib/apache2/modules}
user=${APACHE_USER:-www-data}
group=${APACHE_GROUP:-$(id -gn "$user" 2>/dev/null || echo "$user")}

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# Apache reads the paths into its configuration: keep them plain.
case "$dir" in *[[:space:]\"\\]*) echo "apache-site: unusable path: $dir" >&2; exit 1 ;; esac

mkdir -p "$dir"/{htdocs/private,cgi-bin,data,tmp,logs,run}
chmod 0755 "$dir" "$dir"/{htdocs,htdocs/private,cgi-bin,logs,run}
chmod 0750 "$dir/data"
chmod 0700 "$dir/tmp"
install -m 0755 "$cgi" "$dir/cgi-bin/larkspur.cgi"

auth_file=$dir/data/htpasswd
log_file=$dir/data/larkspur.log
[ -e "$auth_file" ] || : >"$auth_file"
[ -e "$log_file" ] || : >"$log_file"
chmod 0640 "$auth_file" "$log_file"

cat >"$dir/cgi-bin/larkspur.cgi.ini" <<INI
[path]
auth_user_file = $auth_file
log_file = $log_file
[setup]
password_min_length = $min_length
max_failures = 10
max_failures_per_address = 30
failure_window = 900
INI
[ -z "$hash" ] || echo "hash = $hash" >>"$dir/cgi-bin/larkspur.cgi.ini"
for line in ${setup[@]+"${setup[@]}"}; do echo "$line" >>"$dir/cgi-bin/larkspur.cgi.ini"; done
[ -z "$dbm" ] || printf '[dbm]\nfile = %s\ntype = %s\n' "$dir/data/users" "$dbm" \
  >>"$dir/cgi-bin/larkspur.cgi.ini"
if [ -n "$dbd" ]; then
  if [ "$dbd" = sqlite3 ]; then
    dbd_params=$dir/data/users.db
    rm -f "$dbd_params"
    sqlite3 "$dbd_params" <"$(dirname "$0")/../../contrib/sql/sqlite3.sql"
    chmod 0640 "$dbd_params"
  fi
  # "user" is a keyword to PostgreSQL; MariaDB quotes names with backquotes.
  user_column='"user"'
  [ "$dbd" != mysql ] || user_column='`user`'
  cat >>"$dir/cgi-bin/larkspur.cgi.ini" <<INI
[dbd]
driver = $dbd
params = $dbd_params
user_query = SELECT password FROM authn WHERE $user_column = %s
update_query = UPDATE authn SET password = %s WHERE $user_column = %s
INI
fi
cat >>"$dir/cgi-bin/larkspur.cgi.ini" <<INI
[html]
title = Change your password
description = Change the password you use for the private pages.
INI
# Without --charset the pages keep the GB2312 they have always declared.
[ -z "$charset" ] || echo "charset = $charset" >>"$dir/cgi-bin/larkspur.cgi.ini"
[ "$layout" = classic ] || echo "layout = $layout" >>"$dir/cgi-bin/larkspur.cgi.ini"
chmod 0644 "$dir/cgi-bin/larkspur.cgi.ini"

cat >"$dir/htdocs/index.html" <<'HTML'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Larkspur</title></head>
<body><h1>Larkspur</h1>
<ul><li><a href="/cgi-bin/larkspur.cgi">Change your password</a></li>
<li><a href="/private/">The private page</a> (asks for your login)</li></ul>
</body></html>
HTML
cat >"$dir/htdocs/private/index.html" <<'HTML'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Private page</title></head>
<body><h1>Private page</h1><p>You are logged in.</p>
<p><a href="/cgi-bin/larkspur.cgi">Change your password</a></p></body></html>
HTML
chmod 0644 "$dir/htdocs/index.html" "$dir/htdocs/private/index.html"

dbm_modules=
private_lines="  AuthBasicProvider file
  AuthUserFile \"$auth_file\"
  Require valid-user"
if [ -n "$dbm" ]; then
  dbm_modules="LoadModule authn_dbm_module $modules/mod_authn_dbm.so
LoadModule authz_dbm_module $modules/mod_authz_dbm.so"
  private_lines="  AuthBasicProvider dbm
  AuthDBMType $dbm_type
  AuthDBMUserFile \"$dir/data/users\"
  AuthDBMGroupFile \"$dir/data/users\"
  AuthzDBMType $dbm_type
  Require dbm-group staff"
fi

user_lines=
if [ "$(id -u)" = 0 ]; then
  # The CGI runs as the children's user: it must create files in data/ (the
  # AuthUserFile is rewritten through a temporary file and a rename) and in tmp/.
  chown "$user:$group" "$dir/data" "$dir/tmp" "$auth_file" "$log_file"
  [ "$dbd" != sqlite3 ] || chown "$user:$group" "$dbd_params"
  user_lines="User $user
Group $group"
fi

cat >"$dir/httpd.conf" <<CONF
# Generated by scripts/lib/apache-site.sh; start with
#   apache2 -f $dir/httpd.conf -DFOREGROUND
ServerRoot "$dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$dir/run/httpd.pid"
DefaultRuntimeDir "$dir/run"
Mutex file:$dir/run default
ErrorLog "$dir/logs/error.log"
LogLevel warn
LogFormat "%h %l %u %t \"%r\" %>s %b" common
CustomLog "$dir/logs/access.log" common
$user_lines

LoadModule mpm_event_module $modules/mod_mpm_event.so
<IfModule !unixd_module>
  LoadModule unixd_module $modules/mod_unixd.so
</IfModule>
LoadModule cgid_module $modules/mod_cgid.so
LoadModule alias_module $modules/mod_alias.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule authn_file_module $modules/mod_authn_file.so
$dbm_modules
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule mime_module $modules/mod_mime.so
LoadModule dir_module $modules/mod_dir.so
LoadModule env_module $modules/mod_env.so
# A client that trickles its request is cut off, as in Debian's default
# configuration, instead of keeping a CGI process alive for the whole Timeout.
LoadModule reqtimeout_module $modules/mod_reqtimeout.so
RequestReadTimeout handshake=0 header=20-40,MinRate=500 body=20,MinRate=500

# Room for many simultaneous changes.
StartServers 2
ThreadsPerChild 25
MaxRequestWorkers 100
ScriptSock "$dir/run/cgid.sock"
TypesConfig /etc/mime.types
DirectoryIndex index.html
Timeout 60

<Directory />
  Options None
  AllowOverride None
  Require all denied
</Directory>

DocumentRoot "$dir/htdocs"
<Directory "$dir/htdocs">
  Require all granted
</Directory>
$(if [ -z "$dbd" ]; then cat <<AUTH
<Directory "$dir/htdocs/private">
  AuthType Basic
  AuthName "Larkspur demo"
$private_lines
</Directory>
AUTH
else cat <<AUTH
LoadModule dbd_module $modules/mod_dbd.so
LoadModule authn_dbd_module $modules/mod_authn_dbd.so
DBDriver $dbd
DBDParams "$dbd_params"
<Directory "$dir/htdocs/private">
  AuthType Basic
  AuthName "Larkspur demo"
  AuthBasicProvider dbd
  AuthDBDUserPWQuery "SELECT password FROM authn WHERE ${user_column//\"/\\\"} = %s"
  Require valid-user
</Directory>
AUTH
fi)

ScriptAlias /cgi-bin/ "$dir/cgi-bin/"
<Directory "$dir/cgi-bin">
  Require all granted
  # The CGI's own lock file and upload files stay in the site.
  SetEnv TMPDIR "$dir/tmp"
</Directory>
# The configuration and the log are never served, wherever they are put.
<FilesMatch "\.(ini|log)$">
  Require all denied
</FilesMatch>
CONF

# A sanitizer build reports to its stderr, which cgid copies to the error log.
for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
  if [ -n "${!v:-}" ]; then echo "PassEnv $v" >>"$dir/httpd.conf"; fi
done
