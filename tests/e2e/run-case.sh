#!/usr/bin/env bash
# Runs one end-to-end case (see README.md):
#   run-case.sh CASE_DIR BIN_DIR [TEST_TOOLS_DIR]
set -u
case_dir=$(cd "$1" && pwd) || exit 2
bin_dir=$(cd "$2" && pwd) || exit 2
tools_dir=$(cd "${3:-$2/../tests}" 2>/dev/null && pwd) || tools_dir=$bin_dir
name=$(basename "$case_dir")

T=$(mktemp -d "${TMPDIR:-/tmp}/vn-e2e-$name.XXXXXX") || exit 2
T=$(cd "$T" && pwd -P)
mkdir -p "$T/bin" "$T/work" "$T/home"

fail() {
  echo "FAIL $name: $*"
  echo "  (work left in $T)"
  exit 1
}

# @T@, and every @KEY@ for which the build step wrote a line KEY=VALUE to
# $T/subst (for values that depend on the build, such as file sizes).
subst() {
  local args=(-e "s|@T@|$T|g") key value
  if [ -f "$T/subst" ]; then
    while IFS='=' read -r key value; do args+=(-e "s|@$key@|$value|g"); done <"$T/subst"
  fi
  sed "${args[@]}" "$1"
}

# A case that needs what the system may refuse (a private mount namespace)
# says so in "needs"; when that fails, the case is skipped with its output.
if [ -f "$case_dir/needs" ]; then
  if ! why=$(cd "$T" && T="$T" bash -e "$case_dir/needs" 2>&1); then
    echo "skip $name: ${why:-refused by the system}"
    rm -rf "$T"
    exit 77
  fi
fi

if [ -f "$case_dir/build" ]; then
  (cd "$T" && PATH="$bin_dir:$tools_dir:$PATH" VNINSTALL="$bin_dir/vninstall" CASE="$case_dir" T="$T" \
     bash -e "$case_dir/build") >"$T/build.log" 2>&1 || { cat "$T/build.log"; fail "build step failed"; }
fi

cmd=setup
[ -f "$case_dir/cmd" ] && cmd=$(subst "$case_dir/cmd")

run() {
  cd "$T/work" && env -i PATH="$T/bin:/usr/bin:/bin" HOME="$T/home" LC_ALL=C T="$T" \
    ${ASAN_OPTIONS+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    bash -c "$cmd"
}
if [ -f "$case_dir/stdin-closed" ]; then
  run >"$T/out.stdout" 2>"$T/out.stderr" <&-
elif [ -f "$case_dir/stdin" ]; then
  run >"$T/out.stdout" 2>"$T/out.stderr" <"$case_dir/stdin"
else
  run >"$T/out.stdout" 2>"$T/out.stderr" </dev/null
fi
status=$?

want_status=0
[ -f "$case_dir/status" ] && want_status=$(tr -d ' \n' <"$case_dir/status")

# The progress lines depend on timing (one whenever the wall-clock second
# changes), so they are dropped; sed keeps a missing final newline as it is.
sed -E '/^\(processing \.\. [0-9]+% complete\)$/d' "$T/out.stderr" >"$T/got.stderr"

compare() {  # compare EXPECTED_FILE_OR_EMPTY GOT_FILE LABEL
  local want="$T/want.$3"
  if [ -f "$1" ]; then subst "$1" >"$want"; else : >"$want"; fi
  if ! cmp -s "$want" "$2"; then
    echo "--- $3 differs (expected, then got):"
    diff <(od -c "$want") <(od -c "$2") | head -n 40
    return 1
  fi
}

ok=1
[ -f "$case_dir/stdout-ignore" ] || compare "$case_dir/stdout" "$T/out.stdout" stdout || ok=0
compare "$case_dir/stderr" "$T/got.stderr" stderr || ok=0
[ "$status" = "$want_status" ] || { echo "--- status: expected $want_status, got $status"; ok=0; }
[ $ok = 1 ] || fail "output differs"

if [ -f "$case_dir/check" ]; then
  (cd "$T" && OUT="$T/out.stdout" ERR="$T/out.stderr" T="$T" CASE="$case_dir" PATH="$bin_dir:$tools_dir:$PATH" \
     bash -e "$case_dir/check") || fail "check failed"
fi

rm -rf "$T"
echo "ok $name"
