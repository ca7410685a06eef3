#!/usr/bin/env bash
# Builds the hello installer: make-installer.sh VNPACK OUTPUT
# Records run in the order given: the environment first (the script reads
# it), then the welcome dialogue that enters the install directory, the
# files unpacked there, and the script that configures them.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
vnpack=$1
output=$2
"$vnpack" build -o "$output" \
  --env VN_PRODUCT=hello \
  --env VN_VERSION=1.7 \
  --env VN_LANGUAGE=en \
  --welcome "$here/welcome.txt" \
  --archive "$here/files" \
  --script "$here/postinstall.sh"
