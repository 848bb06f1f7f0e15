# The Debian packages that the project's scripts need, in one place, sourced
# by ./run.sh, ./test.sh and every CI step, so that no two lists can drift
# apart. Each entry is "package:probe": the probe is a command that the
# package provides ("cmd:NAME"), a file it installs ("file:PATH"), or,
# without one, the package's own installed state.
#
#   ensure_packages GROUP...   installs what the groups need and the machine
#                              lacks; as a user who cannot install, prints
#                              the one apt-get line that would, and exits 2

# What ./run.sh needs: the library, the tool, and the test suites'
# configure step (both commands share one configured build directory).
packages_build=(cmake:cmd:cmake g++:cmd:g++ make:cmd:make
  libcli11-dev:file:/usr/include/CLI/CLI.hpp
  nlohmann-json3-dev:file:/usr/include/nlohmann/json.hpp
  libgtest-dev)
# What ./test.sh adds: strace watches the library's flushes; python3 runs
# the Python example.
packages_test=("${packages_build[@]}" strace:cmd:strace python3:cmd:python3)
# The CI steps beyond the README's commands: the benchmarks' smoke run;
# the fuzzers (clang and its libFuzzer runtime, which clang only
# recommends); the install check and the Debian packages; the Windows
# leg (MinGW-w64, Wine, GoogleTest's sources for the cross build, and
# zip, wixl and msitools for the Windows packages).
packages_bench=(libbenchmark-dev)
packages_fuzz=(clang:cmd:clang++ libclang-rt-14-dev)
packages_install=(pkgconf:cmd:pkg-config file:cmd:file dpkg-dev:cmd:dpkg-shlibdeps
  lintian:cmd:lintian)
packages_win=(g++-mingw-w64-i686:cmd:i686-w64-mingw32-g++
  g++-mingw-w64-x86-64:cmd:x86_64-w64-mingw32-g++
  wine64:file:/usr/lib/wine/wine64
  googletest:file:/usr/src/googletest/googletest/CMakeLists.txt
  zip:cmd:zip unzip:cmd:unzip wixl:cmd:wixl msitools:cmd:msiinfo)

# Prints the packages of the named groups that the machine lacks.
missing_packages() {
  local group entry package probe
  local -A seen=()
  for group in "$@"; do
    local -n list="packages_$group"
    for entry in "${list[@]}"; do
      package=${entry%%:*}
      probe=${entry#"$package"}
      probe=${probe#:}
      [[ -n ${seen[$package]:-} ]] && continue
      seen[$package]=1
      case $probe in
        cmd:*) command -v "${probe#cmd:}" >/dev/null 2>&1 && continue ;;
        file:*) [[ -e ${probe#file:} ]] && continue ;;
        *) dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
             grep -q ' installed$' && continue ;;
      esac
      echo "$package"
    done
    unset -n list
  done
}

ensure_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  ((${#missing[@]})) || return 0
  local sudo=()
  if ((EUID != 0)); then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      echo "missing packages: ${missing[*]}" >&2
      echo "install them with: sudo apt-get install ${missing[*]}" >&2
      exit 2
    fi
  fi
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "missing packages: ${missing[*]} (Debian names; no apt-get here)" >&2
    exit 2
  fi
  echo "installing ${missing[*]}" >&2
  # Waits for another apt that holds its locks rather than failing.
  local wait=(-o DPkg::Lock::Timeout=600)
  "${sudo[@]}" apt-get "${wait[@]}" update -qq >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" \
    install -y -qq \
    "${missing[@]}" >/dev/null
}
