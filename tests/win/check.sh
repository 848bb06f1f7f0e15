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
