#!/bin/bash
# Cost of a request through the web server: requests per second and
# median / 99th-percentile latency, measured with wrk through lighttpd
# (scripts/lighttpd.sh, the configuration of ./run.sh), for
#   start page    GET /cgi-bin/velko
#   report page   GET /cgi-bin/velko?Num=TS10.05000
#   search (20)   a criteria search that lists 20 reports in full
# in an installation of 10,000 reports, beside a minimal static C program
# that prints a fixed page, run as CGI by the same lighttpd in the same run
# (the cost floor of one process per request). Prints one table.
#
# Usage: bench/http_bench.sh [seconds per URL (10)] [connections (4)]
# Needs lighttpd and wrk (installed with apt-get when missing, as root).
# The release build goes to $VELKO_BENCH_BUILD (default build-bench/).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-10}
conns=${2:-4}
reports=${VELKO_BENCH_REPORTS:-10000}
out=${VELKO_BENCH_BUILD:-$top/build-bench}

need=()
command -v wrk >/dev/null 2>&1 || need+=(wrk)
command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

cmake -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target velko >/dev/null
gcc -O2 -static -o "$out/http_minimal" "$top/bench/http_minimal.c"

inst=$(mktemp -d /tmp/velko-http-bench.XXXXXX)
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$inst"
}
trap cleanup EXIT
"$top/scripts/make_install.sh" "$inst" "$out/velko" >/dev/null
cp "$out/http_minimal" "$inst/www/cgi-bin/minimal"
python3 "$top/bench/http_fill.py" "$inst/data" "$reports" 20
(cd "$inst/www/cgi-bin" && PWD=$PWD ./velko --reindex >/dev/null)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$top/scripts/lighttpd.sh" "$inst" "$port" >"$inst/logs/lighttpd.out" 2>&1 &
server=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/cgi-bin/minimal" 2>/dev/null && break
  sleep 0.1
done
base=http://127.0.0.1:$port/cgi-bin
search="CMD=find&project=TEST&resp=all&statN=X&statS=X&statA=X&statO=X&intitle=needle&intext=&sort=1"
names=(minimal start report search20)
urls=("$base/minimal" "$base/velko" "$base/velko?Num=TS10.05000" "$base/velko?$search")

# Every page answers as expected before it is timed.
check() {
  curl -s "$2" >"$inst/page.html"
  if ! grep -q "$3" "$inst/page.html"; then
    echo "http_bench: the $1 page does not show '$3':" >&2
    head -c 600 "$inst/page.html" >&2
    echo >&2
  fi
}
check start "${urls[1]}" "VELKO"
check report "${urls[2]}" "TS10.05000"
check search20 "${urls[3]}" "needle report"
found=$( (grep -o "needle report [0-9]*" "$inst/page.html" || true) | sort -u | wc -l)
[ "$found" -eq 20 ] || echo "http_bench: the search lists $found marked reports, not 20" >&2

to_ms() {  # wrk's 1.23ms / 456.78us / 1.02s
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0;
                         else if (v ~ /s$/) n *= 1000; printf "%.2f", n }'
}
declare -A rps p50 p99
for i in "${!names[@]}"; do
  wrk -t1 -c"$conns" -d1s "${urls[$i]}" >/dev/null  # warm-up
  r=$(wrk -t2 -c"$conns" -d"${secs}s" --latency "${urls[$i]}")
  rps[${names[$i]}]=$(awk '/^Requests\/sec:/ { print $2 }' <<<"$r")
  p50[${names[$i]}]=$(to_ms "$(awk '$1 == "50%" { print $2 }' <<<"$r")")
  p99[${names[$i]}]=$(to_ms "$(awk '$1 == "99%" { print $2 }' <<<"$r")")
  if grep -q 'Non-2xx' <<<"$r"; then echo "http_bench: ${names[$i]}: $(grep Non-2xx <<<"$r")" >&2; fi
done

echo "lighttpd, $reports reports, wrk -t2 -c$conns -d${secs}s, $(nproc) cores"
printf '%-10s %10s %10s %10s %14s\n' page req/s median_ms p99_ms vs_minimal
for n in "${names[@]}"; do
  printf '%-10s %10.1f %10s %10s %13.0f%%\n' "$n" "${rps[$n]}" "${p50[$n]}" "${p99[$n]}" \
    "$(echo "100 * ${rps[$n]} / ${rps[minimal]}" | bc -l)"
done
