#!/bin/sh
# Builds the static release executable and the search benchmark (without
# sanitizers) and runs it:
#   bench/search_bench.sh [reports] [directory]     (default 100000 reports)
# Prints the whole-request time of four searches beside `cat index`.
# The build goes to build-search-bench/ beside the sources (or
# $VELKO_SEARCH_BENCH_BUILD).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build="${VELKO_SEARCH_BENCH_BUILD:-$src/build-search-bench}"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF \
  -DVELKO_STATIC=ON >/dev/null
cmake --build "$build" -j2 --target velko >/dev/null
c++ -std=c++17 -O2 -Wall -Wextra -I"$src/src" -DVELKO_SOURCE_DIR="\"$src\"" \
    "$src/bench/search_bench.cpp" "$build/libvelkocore.a" -lcrypt -o "$build/search_bench"
exec "$build/search_bench" "$build/velko" "$@"
