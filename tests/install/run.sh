#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, moves the prefix (the
# installed files must not depend on where they were first put), then builds
# and runs a small program against it with find_package and with pkg-config,
# with the compiler, flags and toolchain the build tree was configured with.
# Usage: run.sh BUILD_DIR
set -eu
build=$1
cache_value() { sed -n "s|^$1:[A-Z]*=||p" "$build/CMakeCache.txt"; }
cxx=$(cache_value CMAKE_CXX_COMPILER)
cxx_flags=$(cache_value CMAKE_CXX_FLAGS)
toolchain=$(cache_value CMAKE_TOOLCHAIN_FILE)
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/first" >/dev/null
mv "$tmp/first" "$tmp/prefix"
prefix=$tmp/prefix

for f in include/vnlib.h bin/vninstall bin/vnpack share/man/man1/vninstall.1 share/man/man1/vnpack.1; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
for f in libvnlib.a vnlibConfig.cmake vnlibConfigVersion.cmake vnlib.pc; do
  [ -n "$(find "$prefix" -name "$f")" ] || { echo "not installed: $f"; exit 1; }
done

# The installed vnpack puts the installed installer program in front.
"$prefix/bin/vnpack" build -o "$tmp/setup" --env VN_INSTALLED=yes >/dev/null
summary=$(cd "$tmp" && PATH="$tmp" ./setup </dev/null 2>/dev/null)
[ "$summary" = "$(printf 'VN_INSTALLED=yes\nInstallation successfully completed.')" ] ||
  { echo "installed programs: $summary"; exit 1; }

for page in "$prefix"/share/man/man1/*.1; do
  warnings=$(groff -ww -man -z "$page" 2>&1; MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page:"; echo "$warnings"; exit 1; }
done

expected=$(printf 'crc 0x%s\ndirname a/b\n' fc891918)
check_output() {  # check_output HOW PROGRAM
  local got
  got=$("$2")
  [ "$got" = "$expected" ] || { echo "$1: got"; echo "$got"; echo "expected"; echo "$expected"; exit 1; }
  echo "ok: built with $1"
}

cmake -S "$here/app" -B "$tmp/app-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >/dev/null
cmake --build "$tmp/app-build" >/dev/null
check_output find_package "$tmp/app-build/app"

pc_dir=$(dirname "$(find "$prefix" -name vnlib.pc)")
export PKG_CONFIG_PATH=$pc_dir
# pkg-config quotes its output for the shell: a prefix with a blank in it
# comes out as one word.
eval "pc_flags=($(pkg-config --cflags --libs vnlib))"
# shellcheck disable=SC2086
"$cxx" $cxx_flags -std=c++20 -o "$tmp/app-pc" "$here/app/app.cpp" "${pc_flags[@]}"
check_output pkg-config "$tmp/app-pc"
