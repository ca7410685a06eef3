#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (build/) and an
# AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/); then the
# unit tests, which drive the decompression and compression threads, under
# ThreadSanitizer (build-tsan/). --quick runs the normal build only.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

run_suite() {  # run_suite DIR [cmake args...]
  local dir=$1
  shift
  scripts/build.sh "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)")
}

run_suite build
if [ "${1:-}" != "--quick" ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  run_suite build-asan -DVN_SANITIZE=ON
  cmake -S "$top" -B build-tsan -DVN_TSAN=ON >/dev/null
  cmake --build build-tsan --target vn_unit_tests -j "$(nproc)"
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:allocator_may_return_null=1} build-tsan/tests/vn_unit_tests --gtest_brief=1
fi
