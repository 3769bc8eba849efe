#!/usr/bin/env bash
# Line and branch coverage of the regular test suite: a build of its own
# (gcc --coverage, no optimisation, in build-coverage), every test of the
# regular build run once, then gcovr's per-file figures summed per source
# folder into one table (lines and branches run, of those that exist).
#
#   scripts/coverage.sh [ctest arguments...]   e.g. -R '^Rorodired' for a part
#
# Writes build-coverage/coverage.txt (the table), coverage-files.txt (every
# file) and coverage.json (gcovr's summary). The exit status is ctest's: a
# failing test still gives its table, and is named.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gcovr >/dev/null || { echo "coverage.sh: gcovr is missing (scripts/deps.sh test installs it)" >&2; exit 1; }

dir=build-coverage
jobs=$(nproc)
flags="--coverage -O0 -g"
# No compiler cache: one that rewrites source paths relative to a base
# folder changes __FILE__ (the diagnostic log's paths, which tests compare)
# and the paths in the coverage notes.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRORODIRE_BENCH=OFF \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER= \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
ninja -C "$dir"

# Counts of an earlier run would add up with this one's.
find "$dir" -name '*.gcda' -delete
status=0
ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" | tee "$dir/ctest.log" || status=$?

# The project's own sources: not the tests, fuzz targets, benchmarks or
# generated code. The allocator is built twice from one source, with and
# without its bookkeeping; gcovr cannot merge two builds whose functions
# stand on different lines, so the counting one (the tests') is read.
gcovr --root . --object-directory "$dir" \
  --exclude-directories '.*/CMakeFiles/[0-9].*' --exclude-directories '.*/rr_alloc_plain\.dir.*' \
  --filter 'common/' --filter 'osal/' --filter 'qxstack/' --filter 'qxmms/' \
  --filter 'mms_send_download/' --filter 'host/' --filter 'tools/' --filter 'rorodired/' \
  --exclude 'rorodired/tests/' --exclude-throw-branches --exclude-unreachable-branches \
  --json-summary-pretty --json-summary "$dir/coverage.json" \
  --txt "$dir/coverage-files.txt" >/dev/null

python3 - "$dir/coverage.json" >"$dir/coverage.txt" <<'EOF'
import json, os, sys
files = json.load(open(sys.argv[1]))["files"]
folders = {}
for f in files:
    d = folders.setdefault(os.path.dirname(f["filename"]) or ".", [0, 0, 0, 0])
    d[0] += f["line_covered"]; d[1] += f["line_total"]
    d[2] += f["branch_covered"]; d[3] += f["branch_total"]
def pct(a, b):
    return f"{100.0 * a / b:5.1f} %" if b else "    -  "
rows = sorted(folders.items())
total = [sum(v[i] for _, v in rows) for i in range(4)]
width = max(len(k) for k, _ in rows + [("all", 0)])
print(f"{'folder':<{width}}  {'lines':>15}  {'':>7}  {'branches':>15}  {'':>7}")
for name, v in rows + [("all", total)]:
    if name == "all":
        print("-" * (width + 52))
    print(f"{name:<{width}}  {v[0]:>7}/{v[1]:<7}  {pct(v[0], v[1])}  {v[2]:>7}/{v[3]:<7}  {pct(v[2], v[3])}")
EOF
cat "$dir/coverage.txt"
if [ "$status" -ne 0 ]; then
  echo "coverage.sh: tests failed (see $dir/ctest.log); the table counts what ran" >&2
fi
exit "$status"
