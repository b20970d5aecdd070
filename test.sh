#!/bin/bash
# Installs what the tests need, builds velko with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test: the unit tests, the
# black-box tests of the CGI executable (also through lighttpd and the mail
# servers where they exist) and the short fuzzing runs.
set -uo pipefail
cd "$(dirname "$0")"
top=$PWD

# Debian packages: the base set and those listed in scripts/deps.txt.
pkgs=(cmake g++ make googletest libgtest-dev python3 lighttpd)
while read -r p; do
  p=${p%%#*}; p=${p// /}
  [ -n "$p" ] && pkgs+=("$p")
done < scripts/deps.txt
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "test.sh: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || exit 1
fi

build=${VELKO_TEST_BUILD:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVELKO_SANITIZE=ON >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" || exit 1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
# Services that some tests use.
if [ -x scripts/mailservers.sh ]; then
  scripts/mailservers.sh start || { echo "test.sh: mail servers did not start"; failed=1; }
fi

ctest --test-dir "$build" -j2 --output-on-failure --timeout 1200 2>&1 | tee "$build/ctest.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1

if [ -x tests/fuzz/run.sh ]; then
  tests/fuzz/run.sh || failed=1
fi
if [ -x scripts/mailservers.sh ]; then
  scripts/mailservers.sh stop || true
fi

summary=$(grep -E '^[0-9]+% tests passed' "$build/ctest.log" | tail -1)
if [ $failed -eq 0 ]; then
  echo "test.sh: ALL TESTS PASSED ($summary)"
else
  echo "test.sh: TESTS FAILED ($summary)"
fi
exit $failed
