#!/usr/bin/env bash
# A user's home directory, or the lock file in it, replaced by a link that
# leads out of the users root: the Windows build neither creates,
# truncates nor holds a lock file through it (under Wine a POSIX link to a
# directory is a reparse point, one to a file looks like a plain file). Prints one line "PASS: name" or "FAIL: name" per check.
#
# Usage: links.sh WINDOWS_HOST_DIR WINE
#   WINDOWS_HOST_DIR  holds up_host_dll.exe and userprofile.dll
#   WINE              the command that runs a 64-bit Windows program
set -uo pipefail

windir=$1
wine=$2
scratch=$(mktemp -d /tmp/uplink.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

source "$(dirname "$0")/check.sh"

prog=$scratch/APP/PROG
mkdir -p "$prog" "$scratch/outside"
cp "$windir/up_host_dll.exe" "$prog/MAIN.EXE"
cp "$windir/userprofile.dll" "$prog/userprofile.dll"
host() { "$wine" "$prog/MAIN.EXE" "$@" 2>/dev/null | tr -d '\r'; }

host create "Ann Lee" >/dev/null
rm -rf "$scratch/APP/USER/AnnLee00"
printf 'victim' >"$scratch/outside/IKIVO.SMP"
ln -s "$scratch/outside" "$scratch/APP/USER/AnnLee00"

check "no sign-in through a linked home" "lock: 0" "$(host lock "Ann Lee")"
check "the file behind the link is not truncated" "victim" \
  "$(cat "$scratch/outside/IKIVO.SMP")"
rm "$scratch/outside/IKIVO.SMP"
host lock "Ann Lee" >/dev/null
check "no lock file is created through the link" "" \
  "$(ls "$scratch/outside")"

# The lock file itself a link to a file outside: Wine opens it as its
# target even as a reparse point.
host create "Bo Link" >/dev/null
printf 'victim' >"$scratch/outside/target"
rm -f "$scratch/APP/USER/BoLink00/IKIVO.SMP"
ln -s "$scratch/outside/target" "$scratch/APP/USER/BoLink00/IKIVO.SMP"
check "no sign-in through a linked lock file" "lock: 0" "$(host lock "Bo Link")"
check "the file behind a linked lock file is not truncated" "victim" \
  "$(cat "$scratch/outside/target")"
