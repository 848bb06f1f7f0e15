#!/usr/bin/env bash
# One application tree shared by the POSIX build and the Windows build (run
# under Wine): what either writes, the other reads identically, and both
# write the same registry bytes for the same calls. Prints one line
# "PASS: name" or "FAIL: name" per check.
#
# Usage: roundtrip.sh NATIVE_HOST WINDOWS_HOST_DIR WINE
#   NATIVE_HOST       the POSIX test host (tests/host/up_host.c)
#   WINDOWS_HOST_DIR  holds up_host_dll.exe and userprofile.dll
#   WINE              the command that runs a 64-bit Windows program
set -uo pipefail

native=$1
windir=$2
wine=$3

# Runs a host; Windows paths in its output are mapped to POSIX ones (Wine
# shows / as drive Z:) so that the two outputs compare.
run_native() { "$1/APP/PROG/MAIN" "${@:2}" 2>/dev/null; }
run_windows() {
  "$wine" "$1/APP/PROG/MAIN.EXE" "${@:2}" 2>/dev/null | tr -d '\r' |
    sed -e 's#Z:\\#/#g' -e 's#\\#/#g'
}

source "$(dirname "$0")/check.sh"
use_scratch uprt

reads=(exists "Ann Lee" exists "ann lee" exists BOB exists Nobody exists Cid
  getdef home dir "Ann Lee" dir Bob dir Default dir Cid)

# 1. The POSIX build writes, the Windows build reads.
t=$scratch/one
make_tree "$t"
run_native "$t" verify create "Ann Lee" create Bob create "Ann Lee" \
  setdef Bob >/dev/null
check "registry written by POSIX reads alike on Windows" \
  "$(run_native "$t" "${reads[@]}")" "$(run_windows "$t" "${reads[@]}")"

# 2. The Windows build adds to it, the POSIX build reads everything.
run_windows "$t" create Cid setdef Cid verify >/dev/null
check "registry extended by Windows reads alike on POSIX" \
  "$(run_windows "$t" "${reads[@]}")" "$(run_native "$t" "${reads[@]}")"
check "users of both builds are all found" \
  "exists: 2 exists: 2 exists: 3 exists: 0 exists: 5" \
  "$(run_native "$t" "${reads[@]:0:10}" | tr '\n' ' ' | sed 's/ $//')"
check "repair by POSIX after Windows changes nothing" \
  "$(cat "$t/APP/PROG/USER.INI")" \
  "$(run_native "$t" verify >/dev/null; cat "$t/APP/PROG/USER.INI")"

# 3. The same calls from an empty tree give the same bytes and files.
sequence=(verify create "Ann Lee" create "  Bob  " create "Ann Lee"
  setdef "Ann Lee" lock Bob unlock create "R2 D2")
a=$scratch/posix b=$scratch/windows
make_tree "$a"
make_tree "$b"
run_native "$a" "${sequence[@]}" >/dev/null
run_windows "$b" "${sequence[@]}" >/dev/null
check "same calls write the same registry bytes" \
  "$(od -c "$a/APP/PROG/USER.INI")" "$(od -c "$b/APP/PROG/USER.INI")"
check "same calls make the same home directories and lock files" \
  "$(cd "$a/APP/USER" && find . | sort)" "$(cd "$b/APP/USER" && find . | sort)"
