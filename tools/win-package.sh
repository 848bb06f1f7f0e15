#!/usr/bin/env bash
# Makes, on Linux, what a Windows host author or administrator installs:
# userprofile-VERSION-windows.zip and userprofile-VERSION.msi, the same
# files in both:
#
#   include/   userprofile.h, userprofile.def, userprofile_version.h
#   x86/       the i686 build: userprofile.dll, userprofile_ex.dll, their
#              import libraries (libuserprofile.dll.a,
#              libuserprofile_ex.dll.a), userprofile_ex.def, userprof.exe
#   x64/       the same of the x86_64 build
#   doc/       README.md, LICENSE, windows.md, userprof.md, guarantees.md
#   examples/  win_host.c
#
# The MSI (wixl, Debian's package wixl of msitools) is a 32-bit package,
# so that every Windows installs it: into "Program Files (x86)\userprofile"
# on a 64-bit Windows, "Program Files\userprofile" on a 32-bit one.
#
# Usage: tools/win-package.sh I686_BUILD X86_64_BUILD OUTDIR
#   the two MinGW build directories, with the targets userprofile,
#   userprofile_ex, userprofile_ex_def and userprof built
set -euo pipefail
cd "$(dirname "$0")/.."
(($# == 3)) || { echo "usage: $0 I686_BUILD X86_64_BUILD OUTDIR" >&2; exit 2; }
build32=$1 build64=$2 out=$3
for tool in zip wixl i686-w64-mingw32-strip x86_64-w64-mingw32-strip; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; exit 2; }
done
version=$(sed -nE 's/^#define USERPROFILE_VERSION_STRING "(.*)"/\1/p' \
  "$build64/include/userprofile_version.h")
[[ -n $version ]] || { echo "$0: no version in $build64" >&2; exit 2; }

name=userprofile-$version
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$out/$name
rm -rf "$stage" "$out/$name-windows.zip" "$out/$name.msi"
mkdir -p "$stage"/{include,x86,x64,doc,examples}

cp include/userprofile.h include/userprofile.def \
  "$build64/include/userprofile_version.h" "$stage/include/"
for arch in x86:"$build32":i686 x64:"$build64":x86_64; do
  IFS=: read -r dir build triplet <<<"$arch"
  for file in userprofile.dll userprofile_ex.dll libuserprofile.dll.a \
    libuserprofile_ex.dll.a userprofile_ex.def; do
    cp "$build/$file" "$stage/$dir/"
  done
  # The tool without its symbol table; the DLLs go as they were built.
  "$triplet-w64-mingw32-strip" -o "$stage/$dir/userprof.exe" \
    "$build/tools/userprof/userprof.exe"
done
cp README.md LICENSE "$stage/doc/"
cp docs/windows.md docs/userprof.md docs/guarantees.md "$stage/doc/"
cp examples/win_host.c "$stage/examples/"

# The zip: one top directory, no extra attributes, sorted names.
(cd "$out" && find "$name" -type f | LC_ALL=C sort |
  zip -q -X -D "$name-windows.zip" -@)

# The MSI: one component per file, each with a GUID of its own that wixl
# derives from its path, and one feature.
wxs=$out/$name.wxs
{
  cat <<EOF
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="userprofile $version" Language="1033"
           Version="$version" Manufacturer="userprofile"
           UpgradeCode="6f0c6a3e-2b1d-4c55-9a7e-3d1f5e2b8c41">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"
             Description="userprofile $version: DLLs, header, userprof.exe"/>
    <Media Id="1" Cabinet="userprofile.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="userprofile">
EOF
  n=0
  for dir in include x86 x64 doc examples; do
    echo "          <Directory Id=\"dir_$dir\" Name=\"$dir\">"
    for file in $(cd "$stage/$dir" && LC_ALL=C ls); do
      n=$((n + 1))
      echo "            <Component Id=\"c$n\" Guid=\"*\">"
      echo "              <File Id=\"f$n\" Name=\"$file\" Source=\"$name/$dir/$file\" KeyPath=\"yes\"/>"
      echo "            </Component>"
    done
    echo "          </Directory>"
  done
  cat <<EOF
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">
EOF
  for ((i = 1; i <= n; i++)); do echo "      <ComponentRef Id=\"c$i\"/>"; done
  cat <<EOF
    </Feature>
  </Product>
</Wix>
EOF
} >"$wxs"
(cd "$out" && wixl -a x86 -o "$name.msi" "$name.wxs")
rm -f "$wxs"
rm -rf "$stage"
ls -l "$out/$name-windows.zip" "$out/$name.msi" | awk '{print $5, $NF}'
