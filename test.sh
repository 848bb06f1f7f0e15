#!/usr/bin/env bash
# Builds the project with its tests and runs every test. Installs the
# Debian packages a fresh machine lacks first (as root, or through sudo;
# otherwise it names them and exits 2). Every test program is rebuilt from
# the current sources before it runs (the options are forced, see
# tools/build.sh), and each test has its own timeout.
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
ensure_packages test
source tools/build.sh
configure
cmake --build "$build_dir" -j"${JOBS:-2}"
ctest --test-dir "$build_dir" --output-on-failure -j"${JOBS:-2}" --timeout 300
