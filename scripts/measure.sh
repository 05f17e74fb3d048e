#!/usr/bin/env bash
# Measures uipacer on this machine: encoding and KISS escaping per line
# (build/bench/bench/encode_bench, Google Benchmark), then the built program
# against a pseudo-terminal (build/bench/bench/pacing: pacing, start-up, CPU
# time and memory). Not a test, and not run in CI; the numbers are only as
# good as the machine is idle, so check the load it prints.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DUIPACER_BENCHMARKS=ON
cmake --build build/bench -j"$(nproc)" --target encode_bench pacing

machine="$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== encode_bench"
build/bench/bench/encode_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true |
    tee build/bench/encode_bench.txt
echo "== pacing"
build/bench/bench/pacing | tee build/bench/pacing.txt

echo "== summary"
echo "machine: $machine; load average before: $load_before"
grep _median build/bench/encode_bench.txt
cat build/bench/pacing.txt
