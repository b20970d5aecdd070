#!/bin/bash
# Builds velko, creates a demo installation in demo/ when there is none,
# and serves it with lighttpd on 127.0.0.1 (port 8080, or $1 / $PORT).
set -euo pipefail
cd "$(dirname "$0")"
port=${1:-${PORT:-8080}}
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELKO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
scripts/make_install.sh demo "$PWD/build/velko"
echo "velko: open http://127.0.0.1:$port/cgi-bin/velko (Ctrl-C stops the server)"
exec scripts/lighttpd.sh demo "$port"
