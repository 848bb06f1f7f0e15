#!/usr/bin/env bash
# One user signed in once across the two kinds of host: a Windows host
# (the DLL under Wine) and a POSIX host sharing one application tree each
# refuse the user the other holds, the administrator's tool on POSIX sees
# a Windows holder, and the lock of a holder that is killed passes to the
# other kind. Real processes: every holder is a host program that signs in
# and waits for a line on its standard input; every program has its own
# time limit. Prints one line "PASS: name" or "FAIL: name" per check.
#
# Usage: crosslock.sh NATIVE_HOST USERPROF WINDOWS_HOST_DIR WINE [ROUNDS]
#   NATIVE_HOST       the POSIX test host (tests/host/up_host.c)
#   USERPROF          the administrator's tool of the POSIX build
#   WINDOWS_HOST_DIR  holds up_host_dll.exe, up_host_static.exe and
#                     userprofile.dll
#   WINE              the command that runs a 64-bit Windows program
#   ROUNDS            how many times each direction is tried (default 20)
set -uo pipefail

native=$1
userprof=$2
windir=$3
wine=$4
rounds=${5:-20}
limit=60  # seconds any one program may take
source "$(dirname "$0")/check.sh"
use_scratch upxl

prog=$scratch/APP/PROG
mkdir -p "$prog"
cp "$native" "$prog/MAIN"
cp "$windir/up_host_dll.exe" "$prog/MAIN.EXE"
cp "$windir/up_host_static.exe" "$prog/WHY.EXE"
cp "$windir/userprofile.dll" "$prog/userprofile.dll"
lock_file=$scratch/APP/USER/Default0/IKIVO.SMP

posix() { timeout -k 5 "$limit" "$prog/MAIN" "$@" 2>/dev/null; }
windows() {
  timeout -k 5 "$limit" "$wine" "$prog/MAIN.EXE" "$@" 2>/dev/null | tr -d '\r'
}
# The static Windows host, which has the causes of failures.
windows_why() {
  timeout -k 5 "$limit" "$wine" "$prog/WHY.EXE" "$@" 2>/dev/null | tr -d '\r'
}
tool() { timeout -k 5 "$limit" "$userprof" --module "$prog/MAIN" "$@"; }
who() { tool who 2>&1 | head -1; }

# start_holder KIND [NAME]: a host of KIND (posix or windows) signs NAME
# ("Default" unless given) in and holds the lock until a line arrives on
# its standard input (the descriptor 7 of this script); sets `said` to
# its first two lines ("lock: 1 wait: ready") once it waits, or to what it
# said before it ended or its time ran out. Run in this shell, never in a
# subshell: it keeps the holder's process id and the descriptor.
start_holder() {
  local kind=$1 name=${2:-Default} out=$scratch/holder.out fifo=$scratch/holder.in
  rm -f "$out" "$fifo"
  mkfifo "$fifo"
  if [[ $kind == windows ]]; then
    timeout -k 5 "$limit" "$wine" "$prog/MAIN.EXE" lock "$name" wait unlock \
      <"$fifo" >"$out" 2>/dev/null &
  else
    timeout -k 5 "$limit" "$prog/MAIN" lock "$name" wait unlock \
      <"$fifo" >"$out" 2>/dev/null &
  fi
  holder=$!
  exec 7>"$fifo"  # opened once the holder has opened its end
  local waited
  for ((waited = 0; waited < limit * 10; ++waited)); do
    grep -q 'wait: ready' "$out" 2>/dev/null && break
    kill -0 "$holder" 2>/dev/null || break
    sleep 0.1
  done
  said=$(tr -d '\r' <"$out" | head -2 | tr '\n' ' ' | sed 's/ $//')
}

# release_holder: lets the holder sign out and end; sets `status` to its
# exit status.
release_holder() {
  echo >&7
  exec 7>&-
  status=0
  wait "$holder" || status=$?
  holder=
}

# kill_holder: kills the holder, whatever it is doing, and reaps it. The
# holder is the timeout program's child; the whole group is not ours to
# kill, so the child is found by its parent.
kill_holder() {
  local child
  child=$(pgrep -P "$holder" | head -1)
  kill -KILL "${child:-$holder}" 2>/dev/null
  wait "$holder" 2>/dev/null
  holder=
  exec 7>&-
}

# until_free KIND: signs in with a host of KIND until it gets the lock,
# for at most 20 seconds (a killed Windows holder's lock is released by
# Wine's server once it has seen the process end); prints "lock: 1" and
# (on standard error) how many tries it took, or the last answer.
until_free() {
  local kind=$1 answer tries
  for ((tries = 1; tries <= 200; ++tries)); do
    answer=$($kind lock Default | head -1)
    if [[ $answer == "lock: 1" ]]; then
      echo "    (signed in at try $tries)" >&2
      echo "lock: 1"
      return
    fi
    sleep 0.1
  done
  echo "$answer"
}

posix verify create "Ann Lee" >/dev/null
[[ -f $lock_file ]] || echo "FAIL: the tree has its user Default"
ready="lock: 1 wait: ready"
said= status=

# 1. A Windows host holds: the POSIX host is refused and the tool sees it.
refused=0 seen=0 released=0
for ((r = 1; r <= rounds; ++r)); do
  start_holder windows
  if [[ $said != "$ready" ]]; then
    echo "    round $r: the Windows holder said: $said"
    release_holder
    continue
  fi
  [[ $(posix lock Default) == "lock: 0" ]] && refused=$((refused + 1))
  if ((r == 1)); then
    check "the POSIX host's cause is the Windows holder" \
      "why: 3 user \"Default\" is signed in elsewhere" \
      "$(posix lock Default why | sed -n 2p | sed 's/: the lock file .*//')"
    # Wine keeps a Windows host's byte-range locks in wineserver, which
    # is the process the POSIX tool finds holding the lock file.
    check "the POSIX tool sees the Windows holder" \
      "Default  $scratch/APP/USER/Default0/  process N (wineserver) on this machine" \
      "$(who | sed -E 's/process [0-9]+ \(wineserver[0-9]*\)/process N (wineserver)/')"
  fi
  release_holder
  [[ $status == 0 && $(posix lock Default) == "lock: 1" ]] &&
    released=$((released + 1))
done
check "a Windows host's sign-in refuses the POSIX host ($rounds rounds)" \
  "$rounds" "$refused"
check "the POSIX host gets in once the Windows host signs out" "$rounds" "$released"
check "the POSIX tool sees nobody after the sign-out" "nobody is signed in" "$(who)"
start_holder windows "Ann Lee"
tool remove --delete-home "Ann Lee" >/dev/null 2>&1
status=$?
check "the POSIX tool keeps the home of a user a Windows host holds" \
  "lock: 1 wait: ready, status 4, home kept" \
  "$said, status $status, home $([[ -d $scratch/APP/USER/AnnLee00 ]] && echo kept)"
release_holder

# 2. A POSIX host holds: the Windows host is refused.
refused=0 released=0
for ((r = 1; r <= rounds; ++r)); do
  start_holder posix
  if [[ $said != "$ready" ]]; then
    echo "    round $r: the POSIX holder said: $said"
    release_holder
    continue
  fi
  [[ $(windows lock Default) == "lock: 0" ]] && refused=$((refused + 1))
  if ((r == 1)); then
    check "the Windows host's cause is the POSIX holder" \
      "why: 3 user \"Default\" is signed in elsewhere" \
      "$(windows_why lock Default why | sed -n 2p | sed 's/: the lock file .*//')"
  fi
  release_holder
  [[ $status == 0 && $(windows lock Default) == "lock: 1" ]] &&
    released=$((released + 1))
done
check "a POSIX host's sign-in refuses the Windows host ($rounds rounds)" \
  "$rounds" "$refused"
check "the Windows host gets in once the POSIX host signs out" "$rounds" "$released"

# 3. A holder killed: the other kind gets in. A POSIX holder's lock goes
# with its process; a Windows holder's when Wine's server has seen the
# process end, which the POSIX host waits for.
start_holder windows
kill_holder
check "a killed Windows holder's user signs in on POSIX" "lock: 1" "$(until_free posix)"
start_holder posix
kill_holder
check "a killed POSIX holder's user signs in on Windows at once" "lock: 1" \
  "$(windows lock Default | head -1)"
