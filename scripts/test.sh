#!/usr/bin/env bash
# Builds and runs every test: the regular build, a log-free Debug build of the
# library, and one clang build that is both the AddressSanitizer +
# UndefinedBehaviorSanitizer build and the libFuzzer build (every fuzz corpus
# is replayed once in each test run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

export RR_REQUIRE_TSHARK=1 RR_REQUIRE_TINYPROXY=1 RR_REQUIRE_INTEROP=1
# The real-world PDUs the interop tests read: required, never skipped.
if [ ! -f ../shared/interop/m-send_1.conf ]; then
  echo "the interop corpus ../shared/interop is required by the tests but missing" >&2
  exit 1
fi
jobs=$(nproc)
total=0
# Runs ctest in a build directory and adds its test count to the total.
run_ctest() {
  local dir=$1 log
  shift
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" | tee "$log"
  local n
  n=$(grep -oE 'tests passed, 0 tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
  rm -f "$log"
  total=$((total + n))
}

started=$(date +%s)
stage() { echo; echo "== $1 ($(( $(date +%s) - started )) s so far)"; }

# Tests, the tool and the corpus replays compile at -O0 -g1 (they only drive
# the library, and most of the compile time is theirs); the library keeps -O2.
stage "regular build (g++)"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRORODIRE_QUICK_HARNESS=ON -DRORODIRE_WERROR=ON >/dev/null
ninja -C build-test
run_ctest build-test

stage "Debug build without the diagnostic log: exports and silence"
cmake -S . -B build-debug-nolog -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRORODIRE_DIAGNOSTIC_LOG=OFF \
  -DRORODIRE_BENCH=OFF >/dev/null
ninja -C build-debug-nolog librorodire.so log_host
scripts/check_exports.sh build-debug-nolog/librorodire.so
build-debug-nolog/log_host silent build-debug-nolog/librorodire.so
total=$((total + 2))

# One clang build is both the sanitizer build and the libFuzzer build: every
# test runs under AddressSanitizer + UndefinedBehaviorSanitizer, and each fuzz
# target replays its corpus itself. The browser self-check of the preview
# checker (no library code) and the install test ran in the regular build.
stage "AddressSanitizer + UndefinedBehaviorSanitizer + libFuzzer build (clang)"
cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRORODIRE_FUZZ=ON \
  -DRORODIRE_QUICK_HARNESS=ON -DRORODIRE_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C build-san
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build-san -E '^browser_checker$'
unset ASAN_OPTIONS UBSAN_OPTIONS

echo
echo "test command: $(( $(date +%s) - started )) s"
echo "all: $total passed, 0 failed"
