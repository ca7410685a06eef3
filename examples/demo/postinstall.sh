#!/bin/sh
# Runs after the files are unpacked, in the install directory: writes the
# configuration bin/hello reads, from INSTALL_ROOT and the variables of the
# package's environment records.
set -e
# One shell word whatever the value holds.
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
mkdir -p "$INSTALL_ROOT/etc"
{
  echo "# Written by the hello installer."
  echo "HELLO_ROOT=$(quote "$INSTALL_ROOT")"
  echo "HELLO_PRODUCT=$(quote "$VN_PRODUCT")"
  echo "HELLO_VERSION=$(quote "$VN_VERSION")"
  echo "HELLO_LANGUAGE=$(quote "$VN_LANGUAGE")"
} >"$INSTALL_ROOT/etc/hello.conf"
echo "Configuration written to $INSTALL_ROOT/etc/hello.conf"
