#!/usr/bin/env bash
# Non-ASCII names in one application tree shared by a Windows host (the
# DLL under Wine: ANSI code page 1252, file names stored in UTF-8, as Samba
# stores them) and a POSIX host (UTF-8): a user created on one side is
# found, signed in and repaired on the other, at the one home it has, with
# the data in it and the registry's bytes as their writer wrote them.
# Prints one line "PASS: name" or "FAIL: name" per check.
#
# Usage: encoding.sh NATIVE_HOST WINDOWS_HOST_DIR WINE
#   NATIVE_HOST       the POSIX test host (tests/host/up_host.c)
#   WINDOWS_HOST_DIR  holds up_host_dll.exe and userprofile.dll
#   WINE              the command that runs a 64-bit Windows program
set -uo pipefail

native=$1
windir=$2
wine=$3
limit=60  # seconds any one program may take

source "$(dirname "$0")/check.sh"
use_scratch upenc

# The names are typed in UTF-8 here; Wine hands a Windows host their
# ANSI bytes, and its output comes back from them.
export LC_ALL=C.UTF-8
posix() { timeout -k 5 "$limit" "$t/APP/PROG/MAIN" "$@" 2>/dev/null; }
windows() {
  timeout -k 5 "$limit" "$wine" "$t/APP/PROG/MAIN.EXE" "$@" 2>/dev/null |
    tr -d '\r' | iconv -f CP1252 -t UTF-8 | sed -e 's#Z:\\#/#g' -e 's#\\#/#g'
}
# What the tree holds: each home with its files, and the user lines.
tree() {
  (cd "$t/APP/USER" && find . -mindepth 1 | sort | tr '\n' ' ')
  tr -d '\r' <"$t/APP/PROG/USER.INI" | grep -a '^[0-9]' | od -An -c | tr -s ' \n' ' '
}

# across MAKER OTHER NAME: MAKER creates NAME in a new tree and puts a file
# in its home; OTHER finds the user at that home and signs in, and its
# repair re-creates the lock file there, and nothing else.
across() {
  local maker=$1 other=$2 name=$3 home before
  t=$scratch/$maker.$((++trees))
  make_tree "$t"
  $maker verify create "$name" >/dev/null
  home=$($maker dir "$name" | sed -n 's/^dir: //p')
  echo "kept" >"$home/data.txt"
  rm -f "$home/IKIVO.SMP"
  before=$(tree)
  echo "    $maker made: $before"
  check "$maker's \"$name\" is found on $other at its home" \
    "exists: 2 dir: $home lock: 1" \
    "$($other exists "$name" dir "$name" lock "$name" | tr '\n' ' ' | sed 's/ $//')"
  $other verify >/dev/null
  check "$other's repair of $maker's \"$name\" keeps one home and its data" \
    "${before/data.txt/IKIVO.SMP ./${home#"$t/APP/USER/"}data.txt}" "$(tree)"
}
trees=0
for name in "René Dupont" "Jürgen Groß"; do
  across windows posix "$name"
  across posix windows "$name"
done

# A name beyond code page 1252: a POSIX host creates it; the Windows host
# cannot type it (Wine gives it "Lukasz Nowak", another user), but signs
# in the user it reads as the default, at its home, through the short name
# the system gives the directory, and its repair makes no twin.
name="Łukasz Nowak"
t=$scratch/beyond
make_tree "$t"
posix verify create "$name" setdef "$name" >/dev/null
home=$(posix dir "$name" | sed -n 's/^dir: //p')
echo "kept" >"$home/data.txt"
rm -f "$home/IKIVO.SMP"
before=$(tree)
echo "    posix made: $before"
check "the Windows host cannot name \"$name\"" "exists: 0" \
  "$(windows exists "$name")"
check "the Windows host signs in \"$name\" as the default user" "lock: 1" \
  "$(windows lock-default | head -1)"
windows verify >/dev/null
check "the Windows repair of \"$name\" keeps one home and its data" \
  "${before/data.txt/IKIVO.SMP ./${home#"$t/APP/USER/"}data.txt}" "$(tree)"
check "the POSIX host signs in \"$name\" after it" "lock: 1" \
  "$(posix lock "$name" | head -1)"
