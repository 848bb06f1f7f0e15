#!/usr/bin/env bash
# POSIX hosts and Windows hosts (the DLL under Wine) adding users to one
# registry at the same time: their updates are serialized by one lock, so
# no user is lost or registered twice, and every user keeps a home
# directory with its lock file; the same with repairs running alongside.
# Prints one line "PASS: name" or "FAIL: name" per check.
#
# Usage: mixed_load.sh NATIVE_HOST WINDOWS_HOST_DIR WINE
#   NATIVE_HOST       the POSIX test host (tests/host/up_host.c)
#   WINDOWS_HOST_DIR  holds up_host_dll.exe and userprofile.dll
#   WINE              the command that runs a 64-bit Windows program
set -uo pipefail

native=$1
windir=$2
wine=$3
hosts=4   # of each kind
users=50  # added by each host
limit=80  # seconds any one host may take

source "$(dirname "$0")/check.sh"
use_scratch upmix

# The names host KIND number I adds, one a line.
names_of() {
  local kind=$1 i=$2 j
  for ((j = 1; j <= users; ++j)); do printf '%s%dU%02d\n' "$kind" "$i" "$j"; done
}

# The registered names, one a line per entry, sorted.
registered() {
  tr -d '\r' <"$1/APP/PROG/USER.INI" |
    awk '/^\[/ { s = toupper($0) } s == "[LUSER]" && /^[0-9]+=/ {
           sub(/^[0-9]+=/, ""); sub(/,.*/, ""); print }' | sort
}

# "missing DIR" for every entry whose home directory or lock file is
# missing.
missing_homes() {
  tr -d '\r' <"$1/APP/PROG/USER.INI" |
    awk '/^\[/ { s = toupper($0) } s == "[LUSER]" && /^[0-9]+=/ {
           sub(/^[^,]*,/, ""); print }' |
    while read -r dir; do
      [[ -f $1/APP/USER/$dir/IKIVO.SMP ]] || echo "missing $dir"
    done
}

# run_load ROOT REPAIRS: every host adds its users at once, with REPAIRS
# repairs by one host of each kind running alongside; prints the exit
# status of every host that failed or ran out of time.
run_load() {
  local root=$1 repairs=$2 i pids=() kinds=() args
  make_tree "$root"
  for ((i = 1; i <= hosts; ++i)); do
    args=()
    while read -r name; do args+=(create "$name"); done < <(names_of P "$i")
    timeout -k 5 "$limit" "$root/APP/PROG/MAIN" "${args[@]}" >/dev/null 2>&1 &
    pids+=($!) kinds+=("POSIX host $i")
    args=()
    while read -r name; do args+=(create "$name"); done < <(names_of W "$i")
    timeout -k 5 "$limit" "$wine" "$root/APP/PROG/MAIN.EXE" "${args[@]}" \
      >/dev/null 2>&1 &
    pids+=($!) kinds+=("Windows host $i")
  done
  if ((repairs > 0)); then
    args=()
    for ((i = 0; i < repairs; ++i)); do args+=(verify); done
    timeout -k 5 "$limit" "$root/APP/PROG/MAIN" "${args[@]}" >/dev/null 2>&1 &
    pids+=($!) kinds+=("POSIX repairs")
    timeout -k 5 "$limit" "$wine" "$root/APP/PROG/MAIN.EXE" "${args[@]}" \
      >/dev/null 2>&1 &
    pids+=($!) kinds+=("Windows repairs")
  fi
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || echo "${kinds[$i]} exited $?"
  done
}

# A Windows process (the Windows build's platform test child) holds the
# update lock: a POSIX host's registration waits for it, and is made once
# the lock is released.
held_order() {
  local root=$scratch/order holder=$windir/../platform_child.exe
  make_tree "$root"
  local registry=$root/APP/PROG/USER.INI
  printf '[NUSER]\r\nNO=0\r\n' >"$registry"
  mkfifo "$scratch/holder.in"
  timeout -k 5 "$limit" "$wine" "$holder" update "Z:$registry" 20000 \
    <"$scratch/holder.in" >"$scratch/holder.out" 2>/dev/null &
  local holder_pid=$! i
  exec 3>"$scratch/holder.in"
  for ((i = 0; i < 300; ++i)); do
    grep -q 'locked 1' "$scratch/holder.out" 2>/dev/null && break
    sleep 0.1
  done
  check "a Windows host takes the update lock" "locked 1" \
    "$(tr -d '\r' <"$scratch/holder.out")"
  timeout -k 5 "$limit" "$root/APP/PROG/MAIN" create Ann >/dev/null 2>&1 &
  local creator_pid=$!
  sleep 2
  check "a POSIX host's update waits while a Windows host holds the lock" "" \
    "$(tr -d '\r' <"$registry" | grep '^1=')"
  echo unlock >&3
  exec 3>&-
  wait "$creator_pid"
  wait "$holder_pid"
  check "and is made once the Windows host releases it" "1=Ann,Ann00000" \
    "$(tr -d '\r' <"$registry" | grep '^1=')"
}
held_order

# The other way round: a POSIX host stopped while its repair holds the
# update lock (seen in /proc/locks) keeps a Windows host's registration
# waiting until it goes on.
posix_holds() {
  local root=$scratch/posix-holds i pid= inode held=0
  make_tree "$root"
  local registry=$root/APP/PROG/USER.INI
  # Many entries whose homes are missing: the repair makes them all while
  # it holds the lock, long enough to be caught holding it.
  {
    printf '[NUSER]\r\nNO=1000\r\n[LUSER]\r\n'
    for ((i = 1; i <= 1000; ++i)); do printf '%d=U%d,U%07d\r\n' "$i" "$i" "$i"; done
  } >"$registry"
  : >"$registry.lock"
  inode=$(stat -c %i "$registry.lock")
  timeout -k 5 "$limit" "$root/APP/PROG/MAIN" verify >/dev/null 2>&1 &
  local guard=$!
  for ((i = 0; i < 100; ++i)); do
    pid=$(pgrep -P "$guard")
    [[ -n $pid ]] && break
    sleep 0.01
  done
  [[ -n ${pid:-} ]] || return 1
  while kill -0 "$pid" 2>/dev/null; do
    if grep -q ":$inode " /proc/locks; then
      kill -STOP "$pid"
      # Stopped for certain before the lock is looked at again.
      while [[ $(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) == [RSD] ]]; do
        sleep 0.001
      done
      if grep -q ":$inode " /proc/locks; then
        held=1
        break
      fi
      kill -CONT "$pid"
    fi
  done
  if ((!held)); then
    wait "$guard"
    return 1
  fi
  timeout -k 5 "$limit" "$wine" "$root/APP/PROG/MAIN.EXE" create Bob \
    >/dev/null 2>&1 &
  local creator_pid=$!
  sleep 2
  check "a Windows host's update waits while a POSIX host holds the lock" "" \
    "$(tr -d '\r' <"$registry" | grep ',Bob')"
  kill -CONT "$pid"
  wait "$guard"
  wait "$creator_pid"
  check "and is made once the POSIX host goes on" "1" \
    "$(tr -d '\r' <"$registry" | grep -c '=Bob,Bob')"
}
for attempt in 1 2 3 4 5; do
  posix_holds && break
  rm -rf "$scratch/posix-holds"
  ((attempt < 5)) || echo "FAIL: a POSIX host was never caught holding the update lock"
done

expected=$(for ((i = 1; i <= hosts; ++i)); do names_of P "$i"; names_of W "$i"; done | sort)
total=$((2 * hosts * users))

started=$SECONDS
t=$scratch/plain
check "$total hosts' additions all return in time" "" "$(run_load "$t" 0)"
check "all $total users registered exactly once" "$expected" "$(registered "$t")"
check "the count matches the entries" "NO=$total" \
  "$(tr -d '\r' <"$t/APP/PROG/USER.INI" | grep -i '^NO=')"
check "every user has a home directory with its lock file" "" \
  "$(missing_homes "$t")"
echo "    ($((SECONDS - started)) s)"

started=$SECONDS
t=$scratch/repairs
check "additions and repairs all return in time" "" "$(run_load "$t" 10)"
check "all $total users registered exactly once beside repairs" \
  "$(printf '%s\nDefault\n' "$expected" | sort)" "$(registered "$t")"
check "every user has a home directory with its lock file beside repairs" "" \
  "$(missing_homes "$t")"
echo "    ($((SECONDS - started)) s)"
