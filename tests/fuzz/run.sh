#!/bin/sh
# Builds the libFuzzer targets (the index line, the report file, the
# request decoder and the encoded block) with clang and runs each for a fixed time:
# tests/fuzz/run.sh [seconds per target, default 20]. Exit status 0 when no
# target found a fault.
set -e
seconds=${1:-20}
src=$(cd "$(dirname "$0")/../.." && pwd)
out=${VELKO_FUZZ_BUILD:-$src/build-fuzz}
mkdir -p "$out/obj"
flags="-std=c++17 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -I$src/src"
objs=""
for f in "$src"/src/*.cpp; do
  case "$f" in */main.cpp) continue ;; esac
  o="$out/obj/$(basename "$f" .cpp).o"
  if [ ! -f "$o" ] || [ "$f" -nt "$o" ] || [ -n "$(find "$src/src" -name '*.h' -newer "$o")" ]; then
    clang++ $flags -c "$f" -o "$o"
  fi
  objs="$objs $o"
done
status=0
for target in index_line report_file request uucode; do
  clang++ $flags -fsanitize=fuzzer "$src/tests/fuzz/fuzz_$target.cpp" $objs -lcrypt -o "$out/fuzz_$target"
  work="$out/corpus_$target"
  mkdir -p "$work"
  cp "$src/tests/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
  echo "fuzz_$target: $seconds s"
  if ! (cd "$out" && "./fuzz_$target" -max_total_time="$seconds" -max_len=4096 \
        -print_final_stats=0 "$work" >"$out/fuzz_$target.log" 2>&1); then
    echo "fuzz_$target found a fault:"
    tail -40 "$out/fuzz_$target.log"
    status=1
  fi
  rm -f "$out"/velko-fuzz-upload.*
done
exit $status
