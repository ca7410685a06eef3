#!/usr/bin/env bash
# Builds everything, packs the example product under examples/demo with
# vnpack, and runs the installer found through PATH as a user would,
# answering its two questions itself: a directory under build/, then "y".
# Finally it shows the installed tree and runs the installed program.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/build.sh build

demo=$top/build/demo
root=$demo/hello
rm -rf "$demo"
mkdir -p "$demo/bin"
examples/demo/make-installer.sh build/bin/vnpack "$demo/bin/setup-hello"
echo "== vnpack list $demo/bin/setup-hello"
build/bin/vnpack list "$demo/bin/setup-hello"

echo
echo "== setup-hello (this script types: $root, then y)"
cd "$demo"
if [ -x "$top/build/tests/ptydrive" ]; then
  # On a terminal of its own, each answer typed once its prompt shows.
  PATH="$demo/bin:$PATH" "$top/build/tests/ptydrive" \
    "install software [" "$root" "create it [y/n] ? " y -- setup-hello
else
  printf '%s\ny\n' "$root" | PATH="$demo/bin:$PATH" setup-hello
fi

echo
echo "== Installed into $root:"
(cd "$root" && find . -mindepth 1 | sort)
echo
echo "== $root/bin/hello"
"$root/bin/hello"
