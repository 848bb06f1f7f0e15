# What ./run.sh and ./test.sh share, sourced by both: one build directory
# configured with the same options every time. The options are forced at
# every configure, so that neither command rebuilds the other's work for a
# changed flag, and a cache left by other steps (USERPROFILE_TESTS=OFF from
# an install, say) can never leave a test out of the build.
#
#   build_dir            the directory, build/ unless BUILD_DIR is set
#   configure            configures it, quietly
#   build_quietly T...   builds the targets, its output kept in
#                        $build_dir/build.log and shown only on failure

build_dir=${BUILD_DIR:-build}

configure() {
  mkdir -p "$build_dir"
  if ! cmake -S . -B "$build_dir" -DUSERPROFILE_TESTS=ON \
      -DUSERPROFILE_WERROR=ON -DUSERPROFILE_SANITIZE=OFF \
      -DUSERPROFILE_FUZZ=OFF -DUSERPROFILE_BENCHMARKS=OFF \
      >"$build_dir/configure.log" 2>&1; then
    cat "$build_dir/configure.log" >&2
    return 1
  fi
}

build_quietly() {
  local targets=()
  local target
  for target in "$@"; do targets+=(--target "$target"); done
  if ! cmake --build "$build_dir" -j"${JOBS:-2}" "${targets[@]}" \
      >"$build_dir/build.log" 2>&1; then
    tail -n 60 "$build_dir/build.log" >&2
    echo "build failed; the whole log is $build_dir/build.log" >&2
    return 1
  fi
}
