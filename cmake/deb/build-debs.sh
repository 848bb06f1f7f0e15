#!/usr/bin/env bash
# Builds the Debian packages of userprofile, split as Debian splits a
# library, one package per install component of cmake/install.cmake:
#
#   libuserprofile1      (runtime) the shared library, SONAME libuserprofile.so.1
#   libuserprofile-dev   (dev)     headers, the .so link, CMake package, pkg-config
#   userprof             (tool)    the administrator's tool, its manual page and
#                                  bash completion
#
# Usage: cmake/deb/build-debs.sh OUT_DIR [BUILD_DIR]
#
# Configures BUILD_DIR (default build-deb) for the prefix /usr with
# Debian's hardening flags (dpkg-buildflags), builds it, installs each
# component into its own staging tree with stripped binaries, adds the
# copyright (LICENSE) and changelog.Debian.gz that every package carries,
# and packs each with dpkg-deb. The library package activates the
# loader's ldconfig trigger instead of running ldconfig from a script.
# Needs cmake, a compiler, dpkg-dev (dpkg-shlibdeps, dpkg-buildflags) and
# binutils. Prints the paths of the packages it made.
set -euo pipefail

out=${1:?usage: build-debs.sh OUT_DIR [BUILD_DIR]}
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${2:-$src/build-deb}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Configured with Debian's flags, so that the binaries carry the same
# hardening (relro, bindnow, fortify, stack protector) as Debian's own.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S "$src" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSERPROFILE_TESTS=OFF \
  -DUSERPROFILE_BENCHMARKS=OFF \
  "-DCMAKE_C_FLAGS=$(flags CFLAGS) $(flags CPPFLAGS)" \
  "-DCMAKE_CXX_FLAGS=$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)" \
  "-DCMAKE_SHARED_LINKER_FLAGS=$(flags LDFLAGS)" >/dev/null
cmake --build "$build" -j2 >/dev/null

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache CMAKE_PROJECT_VERSION)
maintainer=$(cache USERPROFILE_PACKAGE_MAINTAINER)
revision=1
debversion=$version-$revision
major=${version%%.*}
arch=$(dpkg --print-architecture)
libpkg=libuserprofile$major

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# The changelog of this packaging: the version built, split into three
# packages, and before it the single package "userprofile" that CPack
# made. The newest date is the last commit's when built from git
# (SOURCE_DATE_EPOCH if set), so that the same sources give the same
# packages.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
# The single package came with cmake/package.cmake.
first=$(git -C "$src" log --diff-filter=A --format=%ct -- cmake/package.cmake 2>/dev/null | tail -1)
first=${first:-$epoch}
((first <= epoch)) || first=$epoch
when() { LC_ALL=C date -u -d "@$1" -R; }
changelog="userprofile ($debversion) unstable; urgency=medium

  * Release $version, packaged as Debian packages a library: the shared
    library in $libpkg, the files for building hosts in
    libuserprofile-dev, the administrator's tool in userprof.
  * Copyright file, changelog and ldconfig trigger in every package.

 -- $maintainer  $(when "$epoch")

userprofile (1.0.0) unstable; urgency=medium

  * One package, userprofile, with the library, its development files and
    userprof.

 -- $maintainer  $(when "$first")"

# copyright: the LICENSE of the sources, in Debian's machine-readable form.
copyright="Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: userprofile
Source: https://userprofile.invalid/

Files: *
Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE")
License: Expat
$(sed -n '/^Permission/,$p' "$src/LICENSE" | sed 's/^$/./; s/^/ /')"

# stage COMPONENT PACKAGE: the component's files under PACKAGE's tree.
stage_component() {
  local component=$1 pkg=$2 root=$stage/$2
  DESTDIR=$root cmake --install "$build" --component "$component" --strip >/dev/null
  local doc=$root/usr/share/doc/$pkg
  mkdir -p "$doc" "$root/DEBIAN"
  printf '%s\n' "$copyright" >"$doc/copyright"
  printf '%s\n' "$changelog" | gzip -9n >"$doc/changelog.Debian.gz"
  # Modes as Debian ships them, whatever the umask of the build.
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -type f -exec chmod 0644 {} +
  if [[ -d $root/usr/bin ]]; then chmod 0755 "$root"/usr/bin/*; fi
}

# The shared-library dependencies of the ELF files in a staged tree.
shlib_depends() {
  local root=$1 files
  mapfile -t files < <(find "$root/usr" -type f \( -name '*.so*' -o -path '*/bin/*' \))
  ((${#files[@]})) || return 0
  local work=$stage/shlibdeps
  mkdir -p "$work/debian"
  printf 'Source: userprofile\n\nPackage: userprofile\nArchitecture: any\n' \
    >"$work/debian/control"
  (cd "$work" && dpkg-shlibdeps -O "-S$stage/$libpkg" "${files[@]}") |
    sed -n 's/^shlibs:Depends=//p'
}

# control PACKAGE SECTION DEPENDS SYNOPSIS DESCRIPTION: DEBIAN/control.
write_control() {
  local pkg=$1 section=$2 depends=$3 synopsis=$4 description=$5
  local root=$stage/$pkg
  {
    echo "Package: $pkg"
    echo "Source: userprofile"
    echo "Version: $debversion"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    [[ -n $depends ]] && echo "Depends: $depends"
    echo "Section: $section"
    echo "Priority: optional"
    echo "Homepage: https://userprofile.invalid/"
    echo "Description: $synopsis"
    printf '%s\n' "$description" | sed 's/^$/./; s/^/ /'
  } >"$root/DEBIAN/control"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' |
    sort -z | xargs -0r md5sum) >"$root/DEBIAN/md5sums"
}

about="The userprofile library keeps the users of a multi-user desktop
application beside its program: a registry file USER.INI in the program's
directory, one home directory per user under USER beside that directory,
and one lock file per home directory that keeps each user signed in once,
across processes and machines."

stage_component runtime "$libpkg"
stage_component dev libuserprofile-dev
stage_component tool userprof

# The library: its shlibs entry (so that packages built against it depend
# on this package) and the ldconfig trigger.
printf 'libuserprofile %s %s (>= %s)\n' "$major" "$libpkg" "$version" \
  >"$stage/$libpkg/DEBIAN/shlibs"
printf 'activate-noawait ldconfig\n' >"$stage/$libpkg/DEBIAN/triggers"
chmod 0644 "$stage/$libpkg/DEBIAN/shlibs" "$stage/$libpkg/DEBIAN/triggers"
write_control "$libpkg" libs "$(shlib_depends "$stage/$libpkg")" \
  "users of a multi-user desktop application - library" \
  "$about

This package holds the shared library libuserprofile."
write_control libuserprofile-dev libdevel "$libpkg (= $debversion)" \
  "users of a multi-user desktop application - development files" \
  "$about

This package holds the C header, the CMake package and the pkg-config
module for building hosts against libuserprofile."
write_control userprof admin "$(shlib_depends "$stage/userprof")" \
  "administrator's tool for the users of a userprofile application" \
  "$about

This package holds userprof, which lists, adds, removes, renames, verifies
and signs in the users of an installed application."

for pkg in "$libpkg" libuserprofile-dev userprof; do
  deb=$out/${pkg}_${debversion}_$arch.deb
  dpkg-deb --root-owner-group -Zxz --build "$stage/$pkg" "$deb" >/dev/null
  echo "$deb"
done
