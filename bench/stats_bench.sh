#!/bin/sh
# Builds the static release executable and the statistics benchmark (without
# sanitizers) and runs it:
#   bench/stats_bench.sh [reports] [directory]     (default 100000 reports)
# Prints the whole-request times of the daily pass and of the statistics
# pages that read the whole index, beside `cat index`.
# The build goes to build-stats-bench/ beside the sources (or
# $VELKO_STATS_BENCH_BUILD).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build="${VELKO_STATS_BENCH_BUILD:-$src/build-stats-bench}"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF \
  -DVELKO_STATIC=ON >/dev/null
cmake --build "$build" -j2 --target velko >/dev/null
c++ -std=c++17 -O2 -Wall -Wextra -I"$src/src" -DVELKO_SOURCE_DIR="\"$src\"" \
    "$src/bench/stats_bench.cpp" "$build/libvelkocore.a" -lcrypt -o "$build/stats_bench"
exec "$build/stats_bench" "$build/velko" "$@"
