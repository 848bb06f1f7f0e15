# Sourced by the Windows leg's scripts: check NAME WANT HAVE prints
# "PASS: NAME", or "FAIL: NAME" and the first lines of the difference;
# .ci/win counts those lines.
check() {
  local name=$1 want=$2 have=$3
  if [[ $want == "$have" ]]; then
    echo "PASS: $name"
  else
    echo "FAIL: $name"
    diff <(echo "$want") <(echo "$have") | head -20 | sed 's/^/    /'
  fi
}

# make_tree ROOT: a tree ROOT/APP/PROG with the POSIX host ($native) as
# MAIN and the Windows host ($windir/up_host_dll.exe) as MAIN.EXE beside
# userprofile.dll: both find the registry at ROOT/APP/PROG/USER.INI.
make_tree() {
  local root=$1
  mkdir -p "$root/APP/PROG"
  cp "$native" "$root/APP/PROG/MAIN"
  cp "$windir/up_host_dll.exe" "$root/APP/PROG/MAIN.EXE"
  cp "$windir/userprofile.dll" "$root/APP/PROG/userprofile.dll"
}

# use_scratch PREFIX: a new directory $scratch under /tmp, removed on exit
# together with the holder process $holder (if any) and descriptor 7 (a
# holder's standard input), so that no script leaves a program or a tree.
holder=
use_scratch() {
  scratch=$(mktemp -d "/tmp/$1.XXXXXX")
  trap 'if [[ -n $holder ]]; then kill -KILL "$holder" 2>/dev/null || true; fi
        exec 7>&- 2>/dev/null || true
        rm -rf "$scratch"' EXIT
}
