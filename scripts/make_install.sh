#!/bin/bash
# Creates an installation of velko in folder $1 (made if missing):
#   www/cgi-bin/velko             the CGI executable (a link to $2, default build/velko)
#   www/cgi-bin/config/velko.cfg  the main configuration file, a link to cfg/velko.cfg
#   www/cgi-bin/config/langue.*   the language files that come with the program
#   cfg/                          the configuration directory, a copy of config/
#   data/                         the data directory
# Security off, English. An existing installation is left as it is.
#
# make_install.sh --wizard DIR [BIN] puts in place only the executable and
# the language files: the first request then shows the installation wizard,
# which creates the configuration and data directories it is given (copying
# the language files into the configuration directory) and the main file.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
wizard=0
if [ "${1:-}" = --wizard ]; then
  wizard=1
  shift
fi
dir=$1
bin=${2:-$top/build/velko}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [ -e "$dir/www/cgi-bin/config/velko.cfg" ]; then
  ln -sf "$bin" "$dir/www/cgi-bin/velko"
  exit 0
fi
mkdir -p "$dir/www/cgi-bin/config" "$dir/logs"
cp "$top/config/langue.EN" "$top/config/langue.FR" "$dir/www/cgi-bin/config/"
if [ $wizard = 1 ]; then
  ln -sf "$bin" "$dir/www/cgi-bin/velko"
  echo "velko: executable and language files in $dir/www/cgi-bin: the first page is the wizard"
  exit 0
fi
mkdir -p "$dir/www/cgi-bin/config" "$dir/data/tmp" "$dir/data/Tests" "$dir/data/Stats" \
         "$dir/data/Synchro/in" "$dir/data/Synchro/out" "$dir/logs"
cp -r "$top/config" "$dir/cfg"
# The corrected form offers the planned versions that are not released yet
# (deadlines that are not versions): give the demo one, so that a report can
# be taken all the way to verified.
[ -f "$dir/cfg/TEST_deadline.cfg" ] && echo "v3" >> "$dir/cfg/TEST_deadline.cfg"
ln -sf "$bin" "$dir/www/cgi-bin/velko"
cat > "$dir/cfg/velko.cfg" <<CFG
#
# Fichier de Configuration Principal de Velko
#
# $dir/www/cgi-bin/config/velko.cfg
#
DATADIR $dir/data/
CONFIGDIR $dir/cfg/
IMGDIR /velko/images/
PRINT true
MAILSERV localhost
HOSTNAME 127.0.0.1
DOMAIN localhost
SECURITY 
LANGUAGE EN
PERSIST 0
POP3 localhost
POP3USER #
POP3PASS *
WWW www
CFG
ln -sf "$dir/cfg/velko.cfg" "$dir/www/cgi-bin/config/velko.cfg"
echo "velko: demo installation created in $dir"
