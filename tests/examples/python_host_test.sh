#!/usr/bin/env bash
# The Python example run against the built library, as a script author
# would run it: the users land beside the program file it names, never
# beside the interpreter, and a second run finds them there.
#   python_host_test.sh LIBRARY EXAMPLE
set -euo pipefail
library=$1 example=$2
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/APP/PROG"
: >"$tree/APP/PROG/main.py"
interpreter_dir=$(dirname "$(readlink -f "$(command -v python3)")")
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(cd / && timeout 60 python3 "$example" "$library" "$tree/APP/PROG/main.py" \
  Default "René Dupont" 2>/dev/null)
echo "$out"
grep -qx "GetDirForUser: $tree/APP/USER/Default0/" <<<"$out" || fail "home of Default"
grep -qx "CreateUserProfile('René Dupont'): cause 0" <<<"$out" || fail "creation"
tr -d '\r' <"$tree/APP/PROG/USER.INI" | grep -qx "2=René Dupont,RenéDup" || fail "registry entry"
[[ -f "$tree/APP/USER/RenéDup/IKIVO.SMP" ]] || fail "new user's lock file"
[[ ! -e "$interpreter_dir/USER.INI" ]] || fail "a registry beside the interpreter"

# Signed in by a second run while this one holds the user: refused.
second=$(cd / && timeout 60 python3 -c '
import ctypes, subprocess, sys
lib = ctypes.CDLL(sys.argv[1])
lib.userprofile_module_at.restype = ctypes.c_void_p
app = ctypes.c_void_p(lib.userprofile_module_at(sys.argv[2].encode()))
assert lib.openUserSemaphoreFile(b"Default", app) == 1
run = subprocess.run([sys.executable, sys.argv[3], sys.argv[1], sys.argv[2]],
                     capture_output=True, text=True, timeout=60)
print(run.returncode)
print(run.stdout)
' "$library" "$tree/APP/PROG/main.py" "$example")
[[ $(head -1 <<<"$second") == 1 ]] || fail "second sign-in of Default: $second"
grep -q "openUserSemaphoreFile('Default'): 0, " <<<"$second" || fail "refusal's reason: $second"
echo "python host: passed"
