#!/usr/bin/env bash
# Builds the library and the administrator's tool (nothing else) and runs
# a host's typical run on a scratch application tree, printing each step.
# Installs the Debian packages a fresh machine lacks first (as root, or
# through sudo; otherwise it names them and exits 2). The build's own
# output goes to build/build.log.
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
ensure_packages build
source tools/build.sh
configure
build_quietly userprof
"$build_dir/tools/userprof/userprof" demo
