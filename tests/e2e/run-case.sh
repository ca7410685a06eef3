#!/usr/bin/env bash
# Runs one end-to-end case (see README.md):
#   run-case.sh [--threads N] CASE_DIR BIN_DIR [TEST_TOOLS_DIR]
# --threads N runs the command (and the check) with VNINSTALL_THREADS=N.
set -u
threads=
if [ "${1:-}" = --threads ]; then
  threads=$2
  shift 2
fi
case_dir=$(cd "$1" && pwd) || exit 2
bin_dir=$(cd "$2" && pwd) || exit 2
tools_dir=$(cd "${3:-$2/../tests}" 2>/dev/null && pwd) || tools_dir=$bin_dir
name=$(basename "$case_dir")
# The files a case writes get the modes the expected output shows, whatever
# the umask of the one running the tests.
umask 022

# The installer takes paths of up to 1023 bytes (its work file, the install
# directory); the cases build paths of up to about 150 bytes below $T.
T_MAX_LENGTH=800
# The user a case that has the file "other-user" runs programs as.
OTHER_UID=65534

skip() {
  echo "skip $name: $*"
  exit 77
}

# True when a user other than the owner may enter dir: as that user when
# this shell can become it, else by the search bit for others on dir and on
# every directory above it.
others_can_enter() {
  local dir
  dir=$(cd "$1" 2>/dev/null && pwd -P) || return 1
  if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    setpriv --reuid=$OTHER_UID --regid=$OTHER_UID --clear-groups test -x "$dir"
    return
  fi
  while :; do
    case $(stat -c %A "$dir") in ?????????[xt]) ;; *) return 1 ;; esac
    [ "$dir" = / ] && return 0
    dir=$(dirname "$dir")
  done
}

# The case's directory lies under TMPDIR, except for a case that runs a
# program as another user where TMPDIR is closed to that user: then it lies
# in the first of /tmp and /var/tmp that the user can enter.
temp_base=${TMPDIR:-/tmp}
if [ -f "$case_dir/other-user" ]; then
  for base in "$temp_base" /tmp /var/tmp ""; do
    [ -n "$base" ] || skip "no temporary directory that another user can enter" \
      "(TMPDIR=${TMPDIR:-}, /tmp, /var/tmp)"
    others_can_enter "$base" && break
  done
  temp_base=$base
fi
T=$(mktemp -d "$temp_base/vn-e2e-$name.XXXXXX") || exit 2
T=$(cd "$T" && pwd -P)
if [ ${#T} -gt $T_MAX_LENGTH ]; then
  rm -rf "$T"
  skip "TMPDIR is too long: the installer's paths would pass its limit of 1023 bytes" \
    "(the case's directory would take ${#T} bytes, at most $T_MAX_LENGTH fit)"
fi
[ -f "$case_dir/other-user" ] && chmod 755 "$T"
mkdir -p "$T/bin" "$T/work" "$T/home"

fail() {
  echo "FAIL $name: $*"
  echo "  (work left in $T)"
  exit 1
}

# @T@, and every @KEY@ for which the build step wrote a line KEY=VALUE to
# $T/subst (for values that depend on the build, such as file sizes).
# The replacements are taken literally, whatever characters they hold.
sed_literal() { printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'; }
subst() {
  local args=(-e "s|@T@|$(sed_literal "$T")|g") key value
  if [ -f "$T/subst" ]; then
    while IFS='=' read -r key value; do args+=(-e "s|@$key@|$(sed_literal "$value")|g"); done <"$T/subst"
  fi
  sed "${args[@]}" "$1"
}

# A case that needs what the system may refuse (a private mount namespace)
# says so in "needs"; when that fails, the case is skipped with its output.
if [ -f "$case_dir/needs" ]; then
  if ! why=$(cd "$T" && T="$T" bash -e "$case_dir/needs" 2>&1); then
    rm -rf "$T"
    skip "${why:-refused by the system}"
  fi
fi

if [ -f "$case_dir/build" ]; then
  (cd "$T" && PATH="$bin_dir:$tools_dir:$PATH" VNINSTALL="$bin_dir/vninstall" CASE="$case_dir" T="$T" \
     bash -e "$case_dir/build") >"$T/build.log" 2>&1 || { cat "$T/build.log"; fail "build step failed"; }
fi

cmd=setup
[ -f "$case_dir/cmd" ] && cmd=$(subst "$case_dir/cmd")

# The command's environment holds PATH, HOME, LC_ALL and T, and these: the
# thread count asked for and the sanitizer options of this environment.
passed_on=()
[ -n "$threads" ] && passed_on+=(VNINSTALL_THREADS="$threads")
[ -n "${ASAN_OPTIONS+set}" ] && passed_on+=(ASAN_OPTIONS="$ASAN_OPTIONS")
[ -n "${UBSAN_OPTIONS+set}" ] && passed_on+=(UBSAN_OPTIONS="$UBSAN_OPTIONS")

run() {
  cd "$T/work" && env -i PATH="$T/bin:/usr/bin:/bin" HOME="$T/home" LC_ALL=C T="$T" "${passed_on[@]}" \
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
  (cd "$T" || exit 1
   [ -z "$threads" ] || export VNINSTALL_THREADS="$threads"
   OUT="$T/out.stdout" ERR="$T/out.stderr" T="$T" CASE="$case_dir" PATH="$bin_dir:$tools_dir:$PATH" \
     bash -e "$case_dir/check") || fail "check failed"
fi

rm -rf "$T"
echo "ok $name"
