#!/usr/bin/env bash
# Builds the project and runs a host's typical run on a scratch
# application tree, printing each step.
set -euo pipefail
cd "$(dirname "$0")"
cmake -S . -B build >/dev/null
cmake --build build -j2
build/tools/userprof/userprof demo
