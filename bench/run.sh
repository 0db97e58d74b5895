#!/usr/bin/env bash
# Builds the benchmarks in release mode, runs every case with repetitions,
# and prints a table of medians and ratios to the floor.
#   bench/run.sh [extra Google Benchmark flags, e.g. --benchmark_filter=qellog]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QELLOG_BENCH_BUILD:-build-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQELLOG_BUILD_TESTS=OFF -DQELLOG_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qellog_bench >/dev/null

out=${QELLOG_BENCH_JSON:-$build/bench-results.json}
export QELLOG_BENCH_DIR=${QELLOG_BENCH_DIR:-$PWD/$build/bench-out}
"$build/bench/qellog_bench" \
  --benchmark_repetitions="${QELLOG_BENCH_REPETITIONS:-5}" \
  --benchmark_min_time="${QELLOG_BENCH_MIN_TIME:-0.3}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json "$@" >/dev/null
python3 bench/table.py "$out"
