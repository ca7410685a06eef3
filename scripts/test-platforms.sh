#!/usr/bin/env bash
# Builds and tests everything on the other platforms the installer serves,
# warnings as errors:
#   build-m32/    a 32-bit x86 build (multilib compiler, i386 libraries,
#                 GoogleTest built from its sources for that architecture)
#   build-clang/  a clang build
# --setup only installs the Debian packages these builds need (as root).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# The i386 package of every library the main build needs (the lib*-dev
# packages that scripts/setup-deps.sh names; GoogleTest is built from source).
read -r -a main_packages <<<"$(sed -n 's/^packages=(\(.*\))$/\1/p' "$top/scripts/setup-deps.sh")"
i386_packages=()
for p in "${main_packages[@]}"; do
  case $p in
    libgtest-dev) ;;
    lib*-dev) i386_packages+=("$p:i386") ;;
  esac
done
packages=(g++-multilib clang googletest "${i386_packages[@]}")

setup() {
  "$top/scripts/setup-deps.sh"
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with:  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
}

run_suite() {  # run_suite DIR [cmake args...]
  local dir=$1
  shift
  cmake -S "$top" -B "$top/$dir" -DVN_WERROR=ON "$@" >/dev/null
  cmake --build "$top/$dir" -j "$(nproc)"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)")
}

setup
[ "${1:-}" = "--setup" ] && exit 0
run_suite build-m32 -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i386-linux-gnu.cmake" \
  -DVN_GTEST_SOURCE_DIR=/usr/src/googletest
run_suite build-clang -DCMAKE_CXX_COMPILER=clang++
