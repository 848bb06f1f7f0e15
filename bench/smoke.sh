#!/usr/bin/env bash
# CI smoke test of the benchmarks: builds them and runs each once, briefly,
# on a tree of 1,000 users, with the cache-off baseline. Fails if a build
# step fails or a benchmark run fails its own check (a wrong answer, a
# repair that repaired nothing). Extra arguments go to the benchmark.
#
#   bench/smoke.sh                 # from the repository root or anywhere
#   BUILD_DIR=build-ci bench/smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DUSERPROFILE_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target registry_bench
exec "$build/bench/registry_bench" --sizes=1000 --uncached-sizes=1000 \
  --benchmark_min_time=0.05 --benchmark_color=false "$@"
