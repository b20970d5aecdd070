#!/bin/bash
# Fixed cost of one request: times many runs of the release build of velko
# (static) on the main-page path and on the fallback dump, beside a minimal
# static C program that prints the same dump. Prints microseconds per run
# (mean and median) and the ratios to the minimal program.
# Usage: bench/request_cost.sh [runs]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-2000}
out=$top/build-bench
cmake -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Release -DVELKO_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target velko >/dev/null
gcc -O2 -o "$out/spawn" "$top/bench/spawn.c"
gcc -O2 -static -o "$out/minimal_dump" "$top/bench/minimal_dump.c"
inst=$(mktemp -d /tmp/velko-bench.XXXXXX)
trap 'rm -rf "$inst"' EXIT
"$top/scripts/make_install.sh" "$inst" "$out/velko" >/dev/null
cgi=$inst/www/cgi-bin
export PWD=$cgi SCRIPT_NAME=/cgi-bin/velko SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 \
  GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET
# Warm up the page cache and the data folders.
QUERY_STRING= "$cgi/velko" >/dev/null
# Rounds alternate between the programs so that a load change on the
# machine touches all of them alike; the figure of each is the median of its
# round medians.
rounds=5
per=$(( runs / rounds ))
f=() d=() m=()
for ((r = 0; r < rounds; r++)); do
  f+=("$(QUERY_STRING='CMD=nonsense&a=1' "$out/spawn" "$per" "$out/minimal_dump" | cut -d' ' -f2)")
  d+=("$(QUERY_STRING='CMD=nonsense&a=1' "$out/spawn" "$per" "$cgi/velko" | cut -d' ' -f2)")
  m+=("$(QUERY_STRING= "$out/spawn" "$per" "$cgi/velko" | cut -d' ' -f2)")
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
floor=$(median "${f[@]}") dumpt=$(median "${d[@]}") mainp=$(median "${m[@]}")
printf '%-22s %12s %8s\n' "program" "median_us" "ratio"
printf '%-22s %12.1f %8s\n' "minimal static C" "$floor" "1.00"
printf '%-22s %12.1f %8.2f\n' "velko fallback dump" "$dumpt" "$(echo "$dumpt / $floor" | bc -l)"
printf '%-22s %12.1f %8.2f\n' "velko main page" "$mainp" "$(echo "$mainp / $floor" | bc -l)"
