#!/usr/bin/env bash
# Builds and runs the test suite (normal build only) from a copy of the
# checkout placed as CI systems and packagers place theirs: inside a
# directory only its owner may enter (mode 0700, as mktemp -d makes it), in
# a path with a blank, with TMPDIR in another directory with a blank whose
# parent is just as private. A test that takes the checkout to be reachable
# by every user, a path to be free of blanks or TMPDIR to be /tmp fails
# here. The copy is removed when the suite passes and kept when it fails.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
src="$work/check out/vninstall"
export TMPDIR="$work/temp dir"
mkdir -p "$src" "$TMPDIR"

# The checkout's files as they are now, committed or not; build trees and
# whatever else git ignores stay behind.
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$top" ls-files -z --cached --others --exclude-standard |
    (cd "$top" && while IFS= read -r -d '' f; do [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"; done) |
    tar -C "$top" --null -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$top" --exclude='./build*' -cf - . | tar -C "$src" -xf -
fi

echo "Private checkout: $src (TMPDIR=$TMPDIR)"
if "$src/scripts/build.sh" build && (cd "$src/build" && ctest --output-on-failure -j "$(nproc)"); then
  rm -rf "$work"
else
  echo "The suite failed in the private checkout; kept in $work" >&2
  exit 1
fi
