#!/usr/bin/env bash
# What a Windows user installs, installed under Wine as they would: the
# zip holds the files it should, the MSI installs the same files with
# msiexec, the installed userprof.exe runs, the example host builds against
# the installed header and import libraries and runs with the installed
# DLL, and the MSI uninstalls. Prints one line "PASS: name" or
# "FAIL: name" per check.
#
# Usage: package.sh ZIP MSI WINE
#   WINE  the command that runs a 64-bit Windows program (WINEPREFIX set)
set -uo pipefail

zip=$1
msi=$2
wine=$3
limit=120
scratch=$(mktemp -d /tmp/uppkg.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
source "$(dirname "$0")/check.sh"
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

expected="doc/LICENSE
doc/README.md
doc/guarantees.md
doc/userprof.md
doc/windows.md
examples/win_host.c
include/userprofile.def
include/userprofile.h
include/userprofile_version.h"
for arch in x64 x86; do
  for file in libuserprofile.dll.a libuserprofile_ex.dll.a userprof.exe \
    userprofile.dll userprofile_ex.def userprofile_ex.dll; do
    expected+=$'\n'"$arch/$file"
  done
done
expected=$(LC_ALL=C sort <<<"$expected")
check "the zip holds the DLLs, import libraries, header, tool and documents" \
  "$expected" "$(unzip -Z1 "$zip" | grep -v '/$' | sed 's#^[^/]*/##' | LC_ALL=C sort)"

timeout -k 5 "$limit" "$wine" msiexec /i "$(winpath "$(realpath "$msi")")" /qn \
  >/dev/null 2>&1
status=$?
# A 32-bit package: Program Files (x86) on a 64-bit Windows.
installed=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/userprofile
[[ -d $installed ]] || installed=$WINEPREFIX/drive_c/Program\ Files/userprofile
check "msiexec /i installs the same files (status $status)" \
  "$expected" "$(cd "$installed" 2>/dev/null && find . -type f | sed 's#^\./##' |
    LC_ALL=C sort)"
check "the installed files are the zip's, byte for byte" "" \
  "$(mkdir -p "$scratch/zip" && unzip -q "$zip" -d "$scratch/zip" &&
    diff -r "$scratch/zip"/*/ "$installed" 2>&1 | head -5)"

tool=$installed/x64/userprof.exe
version=$(sed -nE 's/^#define USERPROFILE_VERSION_STRING "(.*)"/\1/p' \
  "$installed/include/userprofile_version.h")
check "the installed userprof.exe tells its version" "userprof $version" \
  "$(timeout -k 5 "$limit" "$wine" "$tool" --version 2>&1)"
timeout -k 5 "$limit" "$wine" "$tool" demo "$(winpath "$scratch/try")" \
  >"$scratch/demo" 2>&1
check "the installed userprof.exe runs the demo on a scratch tree (status $?)" \
  yes "$(grep -q 'refused while this one holds the lock' "$scratch/demo" &&
    grep -q 'the tree stays in' "$scratch/demo" && echo yes)"
check "the installed userprof.exe lists the demo's users" \
  "Default,Ann Lee" \
  "$(timeout -k 5 "$limit" "$wine" "$tool" --module \
    "$(winpath "$scratch/try/APP/PROG/MAIN")" list 2>&1 |
    sed -nE 's/^[0-9]+  ([A-Za-z ]+[a-z]) +Z:.*/\1/p' | paste -sd,)"

# The example host as a host author builds it: the installed header and
# import library, then the installed DLL beside the program.
prog=$scratch/APP/PROG
mkdir -p "$prog"
for arch in x64:x86_64 x86:i686; do
  dir=${arch%%:*} triplet=${arch#*:}-w64-mingw32
  "$triplet-gcc" -std=c99 -O2 -Wall -Wextra -Werror -I"$installed/include" \
    "$installed/examples/win_host.c" -L"$installed/$dir" -luserprofile_ex \
    -o "$scratch/host-$dir.exe"
  check "the example host links the installed $dir import library (status $?)" \
    "userprofile_ex.dll" \
    "$("$triplet-objdump" -p "$scratch/host-$dir.exe" 2>/dev/null |
      sed -n 's/.*DLL Name: \(userprofile_ex.dll\)/\1/p')"
done
cp "$scratch/host-x64.exe" "$prog/HOST.EXE"
cp "$installed/x64/userprofile_ex.dll" "$prog/"
check "the example host runs with the installed DLL" \
  "openUserSemaphoreFile(\"Default\"): 1, signed in
status 0" \
  "$(timeout -k 5 "$limit" "$wine" "$prog/HOST.EXE" 2>/dev/null | tr -d '\r' |
    grep '^openUserSemaphoreFile'; echo "status ${PIPESTATUS[0]}")"

timeout -k 5 "$limit" "$wine" msiexec /x "$(winpath "$(realpath "$msi")")" /qn \
  >/dev/null 2>&1
check "msiexec /x removes what it installed (status $?)" "" \
  "$(find "$installed" -type f 2>/dev/null)"
