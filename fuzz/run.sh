#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehavior-
# Sanitizer, libFuzzer) in build-fuzz/ and runs each for a bounded time on
# a scratch copy of its seed corpus. Fails on the first crash, sanitizer
# report, broken property or hang; the input that did it is kept in
# build-fuzz/artifacts/.
#
#   fuzz/run.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DUSERPROFILE_FUZZ=ON \
  -DUSERPROFILE_TESTS=OFF -DUSERPROFILE_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_profile fuzz_names fuzz_operations

# New corpus entries and the operation target's scratch trees go to a
# directory of this run, on a memory file system where there is one.
shm=/dev/shm
[[ -d $shm && -w $shm ]] || shm="${TMPDIR:-/tmp}"
work="$(mktemp -d "$shm/upfuzz-run.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

for target in profile names operations; do
  echo "== fuzz_$target for ${seconds}s"
  mkdir -p "$work/$target"
  TMPDIR="$work" "$build/fuzz/fuzz_$target" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$work/$target" "fuzz/corpus/$target"
done
echo "fuzzing: no failures"
