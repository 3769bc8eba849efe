#!/usr/bin/env bash
# Builds the PDU codec benchmarks (Release) and runs them with repetitions,
# then prints each operation's median beside the median memcpy of the same
# bytes, their ratio and the target:
#   notification/*  fnMMS_ParseNotificationInd           at most 0.3 us
#   retrieve/*      ParseRetrieveConf + DecodeBody        at most 1 memcpy + 3 us
#   sendreq/100KB   fnMMS_MakeSendReqPdu, 100 KB body     at most 2 memcpy + 5 us
# Environment: REPS (repetitions, default 9), MIN_TIME (seconds per run,
# default 0.2), BENCH_TIME=real|cpu (which time is compared, default real),
# BENCH_BUILD_DIR (default build-bench). Other arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "installing: libbenchmark-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq libbenchmark-dev >/dev/null
fi

build="${BENCH_BUILD_DIR:-build-bench}"
reps="${REPS:-9}"
min_time="${MIN_TIME:-0.2}"
col="${BENCH_TIME:-real}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRORODIRE_TESTS=OFF -DRORODIRE_BENCH=ON >/dev/null
ninja -C "$build" bench_codec_bench >/dev/null

csv="$(mktemp)"
trap 'rm -f "$csv"' EXIT
echo "running bench_codec_bench: $reps repetitions, medians of ${col} time"
"$build/bench_codec_bench" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_min_time="$min_time" --benchmark_format=csv "$@" >"$csv"

awk -F, -v col="$col" '
  function unq(s) { gsub(/"/, "", s); return s }
  # The header line names the columns.
  /^name,/ { for (i = 1; i <= NF; i++) idx[$i] = i; next }
  idx["name"] && NF > 4 {
    name = unq($idx["name"])
    if (name !~ /_median$/) next
    sub(/_median$/, "", name)
    t = $idx[col "_time"] + 0
    unit = unq($idx["time_unit"])
    if (unit == "us") t *= 1000; else if (unit == "ms") t *= 1000000; else if (unit == "s") t *= 1e9
    med[name] = t
    order[++n] = name
  }
  END {
    printf "%-36s %12s %12s %8s %12s  %s\n", "operation (median)", "ns", "memcpy ns", "ratio", "target ns", "verdict"
    misses = 0; checked = 0
    for (i = 1; i <= n; i++) {
      name = order[i]
      if (name ~ /^memcpy\//) continue
      s = name; sub(/^[^\/]*\//, "", s)
      base = med["memcpy/" s]
      if (name ~ /^notification\//) limit = 300
      else if (name ~ /^retrieve\//) limit = base + 3000
      else if (name ~ /^sendreq\//) limit = 2 * base + 5000
      else limit = -1
      ratio = base > 0 ? med[name] / base : 0
      verdict = limit < 0 ? "-" : (med[name] <= limit ? "ok" : "MISSED")
      if (limit >= 0) { checked++; if (med[name] > limit) misses++ }
      printf "%-36s %12.1f %12.1f %8.2f %12.1f  %s\n", name, med[name], base, ratio, limit, verdict
    }
    printf "%d of %d operations within their targets\n", checked - misses, checked
  }' "$csv"
