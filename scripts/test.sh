#!/usr/bin/env bash
# Builds and runs every test: the regular build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build (both replay every fuzz corpus once), and a
# compile of the libFuzzer targets with clang.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

export RR_REQUIRE_TSHARK=1 RR_REQUIRE_TINYPROXY=1
jobs=$(nproc)

echo "== regular build"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-test
ctest --test-dir build-test --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRORODIRE_SANITIZE=ON >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== libFuzzer targets (clang)"
cmake -S . -B build-fuzz -G Ninja -DRORODIRE_FUZZ=ON -DRORODIRE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C build-fuzz
for t in build-fuzz/fuzz_*; do
  name=$(basename "$t")
  "$t" -runs=0 "fuzz/corpus/$name" >/dev/null 2>&1 || { echo "$name failed on its corpus"; exit 1; }
done
echo "fuzz targets build and pass their corpora"
