#!/usr/bin/env bash
# Builds the demo installer: make-installer.sh VNPACK OUTPUT
set -eu
here=$(cd "$(dirname "$0")" && pwd)
vnpack=$1
output=$2
"$vnpack" build -o "$output" \
  --env VN_PRODUCT=hello \
  --env VN_VERSION=1.7 \
  --compress zstd --archive "$here/files"
