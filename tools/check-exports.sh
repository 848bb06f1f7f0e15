#!/usr/bin/env bash
# Checks a built userprofile.dll against the module definition: its export
# table must hold exactly the names of userprofile.def at their ordinals,
# nothing else (no ordinal-only entries, no leaked runtime symbols), and
# the DLL must stand alone, importing only system DLLs.
#
# Usage: tools/check-exports.sh DLL [DEF] [OBJDUMP]
# Prints what differs and exits 1 on any difference.
set -euo pipefail

dll=${1:?usage: check-exports.sh DLL [DEF] [OBJDUMP]}
def=${2:-$(dirname "$0")/../include/userprofile.def}
objdump=${3:-}
if [[ -z $objdump ]]; then
  for candidate in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump objdump; do
    if command -v "$candidate" >/dev/null; then objdump=$candidate; break; fi
  done
fi

dump=$("$objdump" -p "$dll")
fail=0

# "ordinal name" lines from the .def, sorted by ordinal.
want=$(sed -nE 's/^[[:space:]]+([A-Za-z_][A-Za-z0-9_]*)[[:space:]]+@([0-9]+)[[:space:]]*$/\2 \1/p' "$def" |
  sort -n)

base=$(sed -nE 's/^Ordinal Base[[:space:]]+([0-9]+).*/\1/p' <<<"$dump")
slots=$(sed -nE 's/^[[:space:]]+Export Address Table[[:space:]]+([0-9a-fA-F]+).*/\1/p' <<<"$dump" | head -1)
names=$(sed -nE 's/^[[:space:]]+\[Name Pointer\/Ordinal\] Table[[:space:]]+([0-9a-fA-F]+).*/\1/p' <<<"$dump" | head -1)
if [[ -z $base || -z $slots ]]; then
  echo "check-exports: $dll has no export table" >&2
  exit 1
fi
# The name table lists each named export with its index from the base.
have=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -nE 's/^[[:space:]]+\[[[:space:]]*([0-9]+)\][[:space:]]+(.+)$/\1 \2/p' |
  while read -r index name; do echo "$((index + base)) $name"; done | sort -n)

if [[ $have != "$want" ]]; then
  echo "check-exports: the export table of $dll differs from $def" >&2
  diff <(echo "$want") <(echo "$have") | sed 's/^/  /' >&2 || true
  fail=1
fi
count=$(wc -l <<<"$want")
if ((16#$slots != count || 16#${names:-0} != count)); then
  echo "check-exports: $((16#$slots)) export slots and $((16#${names:-0})) names, want $count of each" >&2
  fail=1
fi
if grep -q 'Forwarder RVA' <<<"$dump"; then
  echo "check-exports: $dll forwards exports" >&2
  fail=1
fi
dllname=$(sed -nE 's/^Name[[:space:]]+[0-9a-fA-F]+[[:space:]]+(.+)$/\1/p' <<<"$dump")
libname=$(sed -nE 's/^LIBRARY[[:space:]]+([^[:space:]]+).*/\1/p' "$def")
if [[ ${dllname,,} != "${libname,,}.dll" ]]; then
  echo "check-exports: the DLL calls itself '$dllname', want $libname.dll" >&2
  fail=1
fi

# Only system DLLs may be imported: a compiler runtime DLL would have to
# ship beside it. ntdll.dll, the layer under kernel32, is in every process.
while read -r imported; do
  case ${imported,,} in
    kernel32.dll | user32.dll | advapi32.dll | ntdll.dll | msvcrt.dll | api-ms-win-*) ;;
    *)
      echo "check-exports: $dll imports $imported" >&2
      fail=1
      ;;
  esac
done < <(sed -nE 's/^[[:space:]]+DLL Name: (.+)$/\1/p' <<<"$dump")

if ((fail == 0)); then
  echo "check-exports: $dll exports exactly the $count entries of $(basename "$def")"
fi
exit $fail
