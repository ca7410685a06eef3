#!/usr/bin/env bash
# Fails when the given file holds the 14 package magic bytes contiguously.
set -u
file=$1
[ -s "$file" ] || { echo "no such file: $file"; exit 1; }
if LC_ALL=C grep -q -a -P '\x01Install\x07Magic' "$file"; then
  echo "$file contains the package magic"
  exit 1
fi
echo "ok: $file holds no package magic"
