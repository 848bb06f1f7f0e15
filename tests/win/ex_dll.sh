#!/usr/bin/env bash
# The example Windows host (examples/win_host.c) linked to
# userprofile_ex.dll, run under Wine: it signs in, reads the cause of a
# refused sign-in ("signed in elsewhere", the holder a POSIX host) from
# userprofile_last_error, and gets the library's reports through its own
# handler instead of the message box. Prints one line "PASS: name" or
# "FAIL: name" per check.
#
# Usage: ex_dll.sh NATIVE_HOST WIN_HOST_EXE EX_DLL WINE
#   NATIVE_HOST   the POSIX test host (tests/host/up_host.c)
#   WIN_HOST_EXE  the example host, linked to the import library
#   EX_DLL        userprofile_ex.dll
#   WINE          the command that runs the Windows program
set -uo pipefail

native=$1
win_host=$2
ex_dll=$3
wine=$4
limit=60
source "$(dirname "$0")/check.sh"
use_scratch upex

prog=$scratch/APP/PROG
mkdir -p "$prog"
cp "$native" "$prog/MAIN"
cp "$win_host" "$prog/HOST.EXE"
cp "$ex_dll" "$prog/"
run_host() {  # stdout, then "status N"; standard error to $scratch/err
  timeout -k 5 "$limit" "$wine" "$prog/HOST.EXE" "$@" 2>"$scratch/err" |
    tr -d '\r'
  echo "status ${PIPESTATUS[0]}"
}

check "the example signs in through userprofile_ex.dll" \
  "VerifyUserProfiles: done
openUserSemaphoreFile(\"Default\"): 1, signed in
GetUserHomeDir: Z:${scratch//\//\\}\\APP\\USER\\Default0\\
CloseUserSemaphoreFile: done
status 0" "$(run_host)"

# A POSIX host holds "Default" until a line arrives on its standard input.
mkfifo "$scratch/in"
timeout -k 5 "$limit" "$prog/MAIN" lock Default wait unlock <"$scratch/in" \
  >"$scratch/holder.out" 2>/dev/null &
holder=$!
exec 7>"$scratch/in"
for ((i = 0; i < limit * 10; ++i)); do
  grep -q 'wait: ready' "$scratch/holder.out" && break
  sleep 0.1
done
check "the POSIX host holds the user" "lock: 1" "$(head -1 "$scratch/holder.out")"
check "the example reads the cause of the refused sign-in" \
  "openUserSemaphoreFile(\"Default\"): 0, signed in elsewhere (3): user \"Default\" is signed in elsewhere
status 1" \
  "$(run_host | sed -e '/^VerifyUserProfiles/d' -e 's/: the lock file .*//')"
echo >&7
exec 7>&-
wait "$holder"
holder=

# An unregistered name: the library reports its check 615 and the cause.
said=$(run_host Nobody | sed -n 2p | sed 's/ (2): .*/ (2)/')
check "the example reads the cause of a name not registered" \
  "openUserSemaphoreFile(\"Nobody\"): 0, not found (2)" "$said"
check "a failed check reaches the example's handler, not the message box" \
  "report: Assertion Failure: File : userprofile, Line : 615" \
  "$(tr -d '\r' <"$scratch/err" | grep 'Line : ')"
