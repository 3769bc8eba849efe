#!/usr/bin/env bash
# Builds and runs every test: the regular build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build (both replay every fuzz corpus once), and a
# compile of the libFuzzer targets with clang.
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
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" | tee "$log"
  local n
  n=$(grep -oE 'tests passed, 0 tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
  rm -f "$log"
  total=$((total + n))
}

echo "== regular build"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-test
run_ctest build-test

echo "== Debug build without the diagnostic log: exports and silence"
cmake -S . -B build-debug-nolog -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRORODIRE_DIAGNOSTIC_LOG=OFF \
  -DRORODIRE_BENCH=OFF >/dev/null
ninja -C build-debug-nolog librorodire.so log_host
scripts/check_exports.sh build-debug-nolog/librorodire.so
build-debug-nolog/log_host silent build-debug-nolog/librorodire.so
total=$((total + 2))

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRORODIRE_SANITIZE=ON >/dev/null
ninja -C build-asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build-asan
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== libFuzzer targets (clang)"
cmake -S . -B build-fuzz -G Ninja -DRORODIRE_FUZZ=ON -DRORODIRE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C build-fuzz
for t in build-fuzz/fuzz_*; do
  name=$(basename "$t")
  "$t" -runs=0 "fuzz/corpus/$name" >/dev/null 2>&1 || { echo "$name failed on its corpus"; exit 1; }
done
echo "fuzz targets build and pass their corpora"
echo
echo "all: $total passed, 0 failed"
