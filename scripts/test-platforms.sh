#!/usr/bin/env bash
# Builds and tests everything on the other platforms the installer serves,
# warnings as errors:
#   build-m32/    a 32-bit x86 build (multilib compiler, i386 libraries,
#                 GoogleTest built from its sources for that architecture)
#   build-clang/  a clang build
# and checks that the library, the installer and vnpack compile against the POSIX
# interfaces alone (so that they build on the BSDs too).
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

# The i386 libraries come from Debian's mirror, whose i386 index can lag
# behind the amd64 one: then their versions differ from the installed
# amd64 ones and cannot be installed beside them. The 32-bit build is then
# skipped with a notice; on a kernel that runs no 32-bit programs it is
# built but not tested, with a notice too (VN_REQUIRE_M32=1 makes either an
# error). The rest runs as always.
setup() {
  "$top/scripts/setup-deps.sh" g++-multilib clang
  "$top/scripts/setup-deps.sh" g++-multilib clang "${i386_packages[@]}" ||
    echo "test-platforms: the i386 libraries could not be installed" >&2
}
m32_libraries_installed() { dpkg -s "${i386_packages[@]}" >/dev/null 2>&1; }
# Whether this kernel runs 32-bit x86 programs (some are built without it).
m32_programs_run() {
  local probe
  probe=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' > "$probe/probe.c"
  gcc -m32 -o "$probe/probe" "$probe/probe.c" 2>/dev/null && "$probe/probe" 2>/dev/null
  local status=$?
  rm -rf "$probe"
  return $status
}

run_suite() {  # run_suite DIR [cmake args...]
  local dir=$1
  shift
  cmake -S "$top" -B "$top/$dir" -DVN_WERROR=ON "$@" >/dev/null
  cmake --build "$top/$dir" -j "$(nproc)"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)")
}

# Compiles every source of the library, the installer and vnpack with the C
# library's declarations cut down to POSIX and its X/Open extension: a call
# outside them is undeclared. Errors inside the C++ library's own headers,
# which want the GNU extensions, are not ours and are left out. The
# installer's folder comes after the system's, whose libarchive header has
# the name of one of the installer's own.
posix_check() {
  local sources errors
  sources=$(find lib filename string installer tools -name '*.cpp' | sort)
  # shellcheck disable=SC2086
  errors=$(printf '%s\n' $sources | xargs -P "$(nproc)" -n 4 g++ -std=c++20 -fsyntax-only \
             -U_GNU_SOURCE -D_XOPEN_SOURCE=700 -D_FILE_OFFSET_BITS=64 -Ilib -idirafter installer -Itools 2>&1 |
           grep -E '^[^/ ][^:]*:[0-9]+:[0-9]+: error' || true)
  if [ -n "$errors" ]; then
    echo "Not POSIX (fence a system-specific call with #ifdef and give a POSIX fallback):"
    echo "$errors"
    return 1
  fi
  echo "ok: the library, the installer and vnpack use POSIX interfaces only"
}

setup
[ "${1:-}" = "--setup" ] && exit 0
posix_check
m32_options=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/i386-linux-gnu.cmake" -DVN_GTEST_SOURCE_DIR=/usr/src/googletest)
if m32_libraries_installed && m32_programs_run; then
  run_suite build-m32 "${m32_options[@]}"
elif m32_libraries_installed; then
  if [ "${VN_REQUIRE_M32:-0}" = 1 ]; then
    echo "test-platforms: the 32-bit tests need a kernel that runs 32-bit programs" >&2
    exit 1
  fi
  # Listing the tests runs the test program, so only the programs and the
  # library are built (warnings as errors), untested.
  echo "test-platforms: NOTICE: this kernel runs no 32-bit programs: 32-bit build made, NOT TESTED" >&2
  cmake -S "$top" -B "$top/build-m32" -DVN_WERROR=ON "${m32_options[@]}" >/dev/null
  cmake --build "$top/build-m32" -j "$(nproc)" --target vninstall vnpack
elif [ "${VN_REQUIRE_M32:-0}" = 1 ]; then
  echo "test-platforms: the 32-bit build needs ${i386_packages[*]}" >&2
  exit 1
else
  echo "test-platforms: NOTICE: 32-bit build SKIPPED: ${i386_packages[*]} cannot be installed from this mirror" >&2
fi
run_suite build-clang -DCMAKE_CXX_COMPILER=clang++
