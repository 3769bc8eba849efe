#!/usr/bin/env bash
# Fuzzes one target (or all) for a given time with libFuzzer, growing its
# corpus in fuzz/corpus/<target>/. Usage: scripts/fuzz.sh [TARGET|all] [SECONDS]
# Minimise a grown corpus with: scripts/fuzz.sh --merge TARGET
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake -S . -B build-fuzz -G Ninja -DRORODIRE_FUZZ=ON -DRORODIRE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C build-fuzz >/dev/null
if [ "${1:-}" = "--merge" ]; then
  t="$2"; tmp=$(mktemp -d)
  "build-fuzz/$t" -merge=1 "$tmp" "fuzz/corpus/$t"
  rm -rf "fuzz/corpus/$t" && mv "$tmp" "fuzz/corpus/$t"
  exit 0
fi
target="${1:-all}"; secs="${2:-600}"
targets=()
if [ "$target" = all ]; then
  for t in build-fuzz/fuzz_*; do targets+=("$(basename "$t")"); done
else
  targets=("$target")
fi
for t in "${targets[@]}"; do
  mkdir -p "fuzz/corpus/$t" "build-fuzz/artifacts/$t"
  echo "== $t for ${secs}s"
  "build-fuzz/$t" -max_total_time="$secs" -print_final_stats=1 -max_len=65536 \
    -artifact_prefix="build-fuzz/artifacts/$t/" "build-fuzz/corpus-new-$t" "fuzz/corpus/$t" 2>&1 | tail -15
done
