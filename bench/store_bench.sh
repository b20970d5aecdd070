#!/bin/sh
# Builds the store benchmark without sanitizers and runs it:
#   bench/store_bench.sh [reports]      (default 100000)
# The build goes to build-bench/ beside the sources.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build="${VELKO_BENCH_BUILD:-$src/build-bench}"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target velkocore >/dev/null
c++ -std=c++17 -O2 -Wall -Wextra -I"$src/src" "$src/bench/store_bench.cpp" \
    "$build/libvelkocore.a" -lcrypt -o "$build/store_bench"
exec "$build/store_bench" "$@"
