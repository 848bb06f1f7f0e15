#!/usr/bin/env bash
# The administrator's tool's cases that hold alike for userprof and
# userprof.exe: one list, run by ctest against the POSIX tool and by
# .ci/win against the Windows tool under Wine. Each case runs the tool on
# a real scratch tree and prints "PASS: name" or "FAIL: name" with what
# differed; exits 1 if any failed.
#
# Usage: tool_cases.sh TOOL [WINE]
#   TOOL  userprof, or userprof.exe with WINE, the command that runs it
set -uo pipefail

tool=$(realpath "$1")
wine=${2:-}
scratch=$(mktemp -d /tmp/uptool.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failed=0

# A path as the tool under test names it: Wine shows / as drive Z:.
P() {
  if [[ -n $wine ]]; then
    local p=${1//\//\\}
    echo "Z:$p"
  else
    echo "$1"
  fi
}
sep=$(P /)
sep=${sep#Z:}
# Runs the tool; sets status, out and err (exact bytes, trailing newlines
# kept).
run() {
  local errfile=$scratch/err
  if [[ -n $wine ]]; then
    # A failure with no word on either stream is Wine failing to start the
    # program (the tool always says why it fails): tried again, twice at most.
    local tries
    for tries in 1 2 3; do
      out=$(timeout -k 5 60 "$wine" "$tool" "$@" 2>"$errfile"; echo "=$?")
      [[ $out == =0 || $out != =* || -s $errfile ]] && break
    done
  else
    out=$(timeout -k 5 60 "$tool" "$@" 2>"$errfile"; echo "=$?")
  fi
  status=${out##*=}
  out=${out%=*}
  err=$(cat "$errfile"; echo x)
  err=${err%x}
}
# Runs the tool on the tree's application.
on() { run --module "$module" "$@"; }
# A program, as each system has one, that exits with status 7.
if [[ -n $wine ]]; then exit7=(cmd /c exit 7); else exit7=(/bin/sh -c "exit 7"); fi

expect() {  # expect NAME CONDITION-STATUS (0 passes)
  if (($2 == 0)); then
    echo "PASS: $1"
  else
    echo "FAIL: $1 (status $status)"
    printf '    out: %q\n    err: %q\n' "${out:0:600}" "${err:0:600}"
    failed=1
  fi
}
has() { [[ $1 == *"$2"* ]]; }

# A new application tree: <t>/APP/PROG/MAIN, its program file.
new_tree() {
  tree=$scratch/$1
  mkdir -p "$tree/APP/PROG"
  : >"$tree/APP/PROG/MAIN"
  module=$(P "$tree/APP/PROG/MAIN")
  registry=$tree/APP/PROG/USER.INI
  users=$tree/APP/USER
}

# --- The command line ---------------------------------------------------
run --version
expect "--version names the version" \
  $([[ $status == 0 && $out =~ ^userprof\ [0-9]+\.[0-9]+\.[0-9]+$'\n'$ ]]; echo $?)
run list
expect "no module is a usage error" \
  $([[ $status == 2 && -z $out ]] && has "$err" "--module"; echo $?)
new_tree usage
on frobnicate
expect "an unknown command is a usage error" \
  $([[ $status == 2 ]] && has "$err" "userprof: "; echo $?)
run --module "$(P "$tree/NOPE/MAIN")" verify
expect "a module path that names no file is a usage error and makes nothing" \
  $([[ $status == 2 && ! -e $tree/NOPE && ! -e $registry ]] &&
    has "$err" "names no file"; echo $?)
run --module "$(P "$tree/$(printf 'P%.0s' {1..130})/MAIN")" list
expect "a module path beyond 127 bytes is a usage error" \
  $([[ $status == 2 ]] && has "$err" "127"; echo $?)
# A share's path (\\server\share\... on Windows) stays a share's path.
if [[ -n $wine ]]; then share='\\server\share\APP\PROG\MAIN'; else share=/server/share/APP/PROG/MAIN; fi
run --module "${sep}${sep}server${sep}share${sep}APP${sep}PROG${sep}MAIN" list
expect "a module path on a share keeps its server and share" \
  $([[ $status == 2 ]] && has "$err" "module path $share names no file"; echo $?)
all_help=0
for command in verify add list home default signin who remove rename demo; do
  run "$command" --help
  [[ $status == 0 && $out == *$'Example:\n  userprof '* ]] || all_help=1
done
expect "every command's help has an example" $all_help

# --- Verify, add, lookups -------------------------------------------------
new_tree main
on verify
expect "the first verify says what it created" \
  $([[ $status == 0 && $out == "created the registry $(P "$registry")
notice: Creating Default User
added \"Default\" as entry 1, home Default0
default user (none) is now \"Default\"
" ]]; echo $?)
on verify
expect "the second verify changes nothing" \
  $([[ $status == 0 && $out == $'nothing changed\n' && -z $err ]]; echo $?)
USERPROF_MODULE=$module run add "Ann Lee"
expect "add takes the module from the environment and prints the new home" \
  $([[ $status == 0 && $out == "$(P "$users/AnnLee00/")"$'\n' && -z $err &&
    -f $users/AnnLee00/IKIVO.SMP ]]; echo $?)
expect "the registry holds the same bytes" \
  $([[ $(od -c "$registry") == "$(printf '[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Default,Default0\r\n2=Ann Lee,AnnLee00\r\n[DEFUSER]\r\nDefaultUser=Default\r\n' | od -c)" ]]; echo $?)
on add "ANN LEE"
expect "a registered name is refused whatever its case" \
  $([[ $status == 9 && ! -e $users/ANNLEE00 ]] &&
    has "$err" "registered already (entry 2)"; echo $?)
on add "O'Brien"
expect "an invalid name is refused with the reason" \
  $([[ $status == 7 ]] && has "$err" "contains the punctuation '''"; echo $?)
on home "ann lee"
expect "home finds a user in any case" \
  $([[ $status == 0 && $out == "$(P "$users/AnnLee00/")"$'\n' ]]; echo $?)
on home Bob
expect "home of an unknown user is not found" \
  $([[ $status == 6 && -z $out &&
    $err == $'userprof: no user named "Bob" is registered\n' ]]; echo $?)
on default "Ann Lee"
s1=$status
on default
expect "default sets and shows the default user" \
  $([[ $s1 == 0 && $status == 0 && $out == $'Ann Lee\n' ]] &&
    grep -q $'DefaultUser=Ann Lee\r' "$registry"; echo $?)
on list
expect "list shows each user with home and lock file" \
  $([[ $status == 0 ]] &&
    has "$out" "2  Ann Lee  $(P "$users/AnnLee00/")  yes  yes" &&
    has "$out" "default user: Ann Lee"; echo $?)
on --json home Bob
expect "--json gives one object with status, code and error" \
  $([[ $status == 6 && $out == '{'*'"status":6'*'"code":"no-such-user"'*$'}\n' ]];
    echo $?)

# --- Signing in, removing, renaming ---------------------------------------
on signin Default -- "${exit7[@]}"
expect "signin passes on the program's exit status" $([[ $status == 7 ]]; echo $?)
on signin Default -- "$(P "$scratch/no-such-program")"
expect "signin of a program that cannot run exits 127" \
  $([[ $status == 127 ]] && has "$err" "cannot run"; echo $?)
# A second tool run inside the first one's sign-in meets the held lock.
on signin Default -- "$(P "$tool")" --module "$module" signin -E 9 Default -- "${exit7[@]}"
expect "a user signed in is refused to another sign-in, with -E's status" \
  $([[ $status == 9 ]] && has "$err" "signed in elsewhere"; echo $?)
on signin "Ann Lee" -- "$(P "$tool")" --module "$module" remove "Ann Lee"
expect "a signed-in user is not removed" \
  $([[ $status == 4 && -d $users/AnnLee00 ]] &&
    grep -q 'Ann Lee' "$registry"; echo $?)
on rename "Ann Lee" "Ann Smith"
s1=$status
on home "Ann Smith"
expect "rename keeps the home" \
  $([[ $s1 == 0 && $out == "$(P "$users/AnnLee00/")"$'\n' ]]; echo $?)
on remove Default
expect "Default is not removed without --force" $([[ $status == 8 ]]; echo $?)
on remove --delete-home "Ann Smith"
expect "remove --delete-home takes the entry and the home" \
  $([[ $status == 0 && ! -e $users/AnnLee00 ]] && has "$out" "removed" &&
    ! grep -q 'Ann' "$registry"; echo $?)
on add Bob
on remove Bob
on add Robert --home "$(P "$users/Bob00000")"
expect "add --home takes an absolute path of the system's own form" \
  $([[ $status == 0 && $out == "$(P "$users/Bob00000/")"$'\n' ]]; echo $?)
on remove Robert
on add Robert --home BOB00000
# Only Windows finds a directory by another case of its name.
if [[ -n $wine ]]; then
  found=$([[ $status == 0 ]] && grep -qE $'^[0-9]+=Robert,Bob00000\r$' "$registry"; echo $?)
else
  found=$([[ $status == 8 ]] && ! grep -q Robert "$registry"; echo $?)
fi
expect "a home named in another case is registered as the directory spells it" $found

# --- Repairs --------------------------------------------------------------
new_tree damaged
mkdir -p "$users/ann00000"
printf '[NUSER]\r\nNO=3\r\n[LUSER]\r\n1=ann,ann00000\r\n2=\r\n3=b#d,XXXXXXXX\r\n' >"$registry"
before=$(od -c "$registry")
on list
expect "list marks the entries verify would drop" \
  $([[ $status == 0 ]] && has "$out" '2  (entry "": empty; verify drops it)' &&
    has "$out" '3  (entry "b#d,XXXXXXXX": invalid user name'; echo $?)
on verify --dry-run
expect "verify --dry-run says what it would do and changes nothing" \
  $([[ $status == 1 && $(od -c "$registry") == "$before" ]] &&
    has "$out" "would: " && [[ ! -e $users/ann00000/IKIVO.SMP ]]; echo $?)
on verify
backups=("$registry".*.bak)
expect "verify drops the bad entries into a backup and says so" \
  $([[ $status == 0 && ${#backups[@]} == 1 && -f ${backups[0]} ]] &&
    has "$out" "dropped entry 3 \"b#d,XXXXXXXX\" (invalid user name; kept in $(P "${backups[0]}"))" &&
    has "$out" "user count 3 is now 1" && grep -q 'b#d' "${backups[0]}"; echo $?)
# The oldest "backup" a link to a file outside, which Wine shows as a plain
# file: pruning the copies beyond five removes the link at most.
printf kept >"$scratch/outside-backup"
ln -s "$scratch/outside-backup" "$registry.20000101T000000.000000Z.bak"
for _ in 1 2 3 4 5; do
  sed -i 's/^\[LUSER\]\r$/&\n9=\r/' "$registry"
  on verify
done
expect "pruning backups never deletes what a link named like one leads to" \
  $([[ $status == 0 && $(cat "$scratch/outside-backup") == kept ]] &&
    (($(ls "$registry".*.bak | grep -vc 20000101) == 5)); echo $?)
new_tree unreadable
mkdir -p "$registry"
all_five=0
for command in list verify "home Default"; do
  # shellcheck disable=SC2086
  on $command
  [[ $status == 5 ]] && has "$err" "cannot read $(P "$registry")" || all_five=1
done
expect "a registry that cannot be read is said so by every command" $all_five
new_tree lockdir
on verify
rm -f "$registry.lock"
mkdir "$registry.lock"
on add Bob
expect "an update lock file that is a directory refuses updates as damaged" \
  $([[ $status == 8 && ! -e $users/Bob00000 ]] &&
    has "$err" "USER.INI.lock is a directory" && ! grep -q Bob "$registry"; echo $?)
# A link to a file, which Wine shows as a plain file and opens as its target.
rmdir "$registry.lock"
printf kept >"$scratch/outside-lock"
ln -s "$scratch/outside-lock" "$registry.lock"
on add Bob
expect "an update lock file that is a link to a file refuses updates as damaged" \
  $([[ $status == 8 ]] && has "$err" "link, not a regular file" &&
    ! grep -q Bob "$registry"; echo $?)
new_tree orphan
on verify
printf kept >"$scratch/outside-orphan"
ln -s "$scratch/outside-orphan" "$registry.~123.456"
on add "Dee Orphan"
expect "the sweep of copies left by a killed update never deletes what a link leads to" \
  $([[ $status == 0 && $(cat "$scratch/outside-orphan") == kept ]]; echo $?)
new_tree linkinhome
on add "Cy Link"
# Beside a link "Links" that leads out, a directory "Łinks", whose ANSI
# best fit is "Links"; and a link to a file outside, which Wine shows as a
# plain file. (Wine can remove neither link: there the home stays, and the
# removal says so.)
mkdir -p "$scratch/outside" "$users/CyLink00/Łinks"
printf kept >"$scratch/outside/precious"
ln -s "$scratch/outside" "$users/CyLink00/Links"
ln -s "$scratch/outside/precious" "$users/CyLink00/note"
on remove --delete-home "Cy Link"
expect "remove --delete-home never enters what a link in the home leads to" \
  $([[ -f $scratch/outside/precious ]] && ! grep -q 'Cy Link' "$registry" &&
    { [[ -n $wine ]] || [[ $status == 0 && ! -e $users/CyLink00 ]]; }; echo $?)

# --- The demo ---------------------------------------------------------------
run demo
expect "demo runs a host's typical run and removes its tree" \
  $([[ $status == 0 ]] && has "$out" "refused while this one holds the lock" &&
    has "$out" "removed the scratch tree"; echo $?)

exit $failed
