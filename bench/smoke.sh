#!/usr/bin/env bash
# CI smoke test of the benchmarks: builds them and runs each once, briefly,
# on a tree of 1,000 users, with the cache-off baseline, the first calls in
# fresh processes and userprof's commands, and the Windows DLL under Wine. Fails if a build
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
"$build/bench/registry_bench" --sizes=1000 --uncached-sizes=1000 \
  --process-runs=1 --benchmark_min_time=0.05 --benchmark_color=false "$@"

# The Windows DLL under Wine at 1,000 users, where MinGW-w64 and Wine are
# installed (the Windows leg of CI has both).
if command -v x86_64-w64-mingw32-g++ >/dev/null &&
  { command -v wine64 >/dev/null || [[ -x /usr/lib/wine/wine64 ]]; }; then
  win="${WIN_BUILD_DIR:-build-bench-win64}"
  cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DUSERPROFILE_TESTS=OFF -DUSERPROFILE_BENCHMARKS=ON \
    -DUSERPROFILE_TOOL=OFF >/dev/null
  cmake --build "$win" -j2 --target wine_lookup userprofile
  bench/wine.sh "$win" 1000
else
  echo "(no MinGW-w64 or Wine: the Windows DLL is not timed)"
fi
