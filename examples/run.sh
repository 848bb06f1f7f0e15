#!/usr/bin/env bash
# Builds the example host against an installed userprofile and runs it in
# an application tree of its own. The library keeps its files beside the
# program, so the program is copied to TREE/APP/PROG/host: its registry
# becomes TREE/APP/PROG/USER.INI and its users' homes TREE/APP/USER/*.
#
#   examples/run.sh cmake      [TREE [USER [NEW_USER]]]
#   examples/run.sh pkg-config [TREE [USER [NEW_USER]]]
#
# "cmake" builds with find_package(userprofile CONFIG); for a prefix other
# than /usr or /usr/local set CMAKE_PREFIX_PATH=<prefix>. "pkg-config"
# builds with examples/Makefile; set PKG_CONFIG_PATH=<prefix>/lib/pkgconfig
# (the directory that holds userprofile.pc) and the program is run with the
# library's directory on LD_LIBRARY_PATH. Without TREE a temporary
# directory is used and removed at the end. Paths the library builds stay
# under 128 characters, so keep TREE short.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: $0 cmake|pkg-config [TREE [USER [NEW_USER]]]"
(($# >= 1)) || { echo "$usage" >&2; exit 2; }
how=$1
shift
if (($# >= 1)); then
  mkdir -p "$1"
  tree=$(cd "$1" && pwd)
  shift
else
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
fi

build=$tree/build-$how
case $how in
  cmake)
    cmake -S "$here" -B "$build" | sed -n 's/^-- \(Found userprofile\)/\1/p'
    cmake --build "$build" >/dev/null
    ;;
  pkg-config)
    echo "Found userprofile $(pkg-config --modversion userprofile)" \
      "in $(pkg-config --variable=pcfiledir userprofile)"
    mkdir -p "$build"
    make -s -C "$build" -f "$here/Makefile"
    libdir=$(pkg-config --variable=libdir userprofile)
    export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
    ;;
  *)
    echo "$usage" >&2
    exit 2
    ;;
esac

mkdir -p "$tree/APP/PROG"
cp "$build/host" "$tree/APP/PROG/host"
# Run from elsewhere: the files follow the program, not the working directory.
status=0
(cd / && "$tree/APP/PROG/host" "$@") || status=$?

echo "-- $tree/APP/PROG/USER.INI"
cat "$tree/APP/PROG/USER.INI"
echo "-- $tree/APP/USER"
(cd "$tree/APP/USER" && find . -mindepth 1 | sort)
exit "$status"
