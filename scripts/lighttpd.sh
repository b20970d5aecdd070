#!/bin/bash
# Serves the installation in folder $1 with lighttpd on 127.0.0.1:$2:
#   /cgi-bin/velko   the CGI executable
#   /velko/images/   the images of the repository
#   /velko/help/     the help pages of the repository
# Runs in the foreground until stopped (Ctrl-C or a signal).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "$1" && pwd)
port=$2
if ! command -v lighttpd >/dev/null 2>&1 && [ ! -x /usr/sbin/lighttpd ]; then
  echo "velko: installing lighttpd" >&2
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lighttpd >/dev/null
fi
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
mkdir -p "$dir/logs"
# lighttpd gives its CGI processes a fresh environment: the sanitizer options
# of a test run are passed on explicitly.
env=""
for v in ASAN_OPTIONS UBSAN_OPTIONS; do
  if [ -n "${!v:-}" ]; then env="$env, \"$v\" => \"${!v}\""; fi
done
sed -e "s|@WWW@|$dir/www|g" -e "s|@PORT@|$port|g" -e "s|@LOGS@|$dir/logs|g" \
    -e "s|@IMAGES@|$top/images|g" -e "s|@HELP@|$top/help|g" -e "s|@ENV@|$env|g" \
    "$top/scripts/lighttpd.conf.in" > "$dir/lighttpd.conf"
exec "$lighttpd" -D -f "$dir/lighttpd.conf"
