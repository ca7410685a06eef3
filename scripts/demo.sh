#!/usr/bin/env bash
# Builds everything, packs the bundled example with vnpack and installs it
# into build/demo/root, answering the installer's questions itself.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/build.sh build

demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo/bin" "$demo/root"
examples/demo/make-installer.sh build/bin/vnpack "$demo/bin/setup-hello"
build/bin/vnpack list "$demo/bin/setup-hello"
echo

# Run it as a user would: found through PATH, answers on standard input.
(cd "$demo/root" && PATH="$demo/bin:$PATH" setup-hello </dev/null)

echo
echo "Installed into $demo/root:"
(cd "$demo/root" && find . -mindepth 1 | sort)
echo
"$demo/root/bin/hello"
