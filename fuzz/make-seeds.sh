#!/usr/bin/env bash
# Writes the seed inputs of the tar writer and installer targets into
# fuzz/corpus/ from small sample trees, with vnpack, tar and zstd. Usage:
#   fuzz/make-seeds.sh VNPACK
# The other targets' seeds are short texts kept as they are.
set -eu
vnpack=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Sample tree: nested directories, an empty file, a file of exactly one
# block followed by more entries, a file that ends inside a block.
mkdir -p tree/bin tree/share/doc
printf '#!/bin/sh\necho hello\n' >tree/bin/hello
chmod 755 tree/bin/hello
head -c 512 /dev/zero | tr '\0' 'x' >tree/share/block
: >tree/share/empty
printf 'notes\n' >tree/share/doc/README
tar_of() { tar -b1 --format=ustar --owner=0 --group=0 --mtime=@0 --sort=name -C "$1" -cf - "${@:2}"; }

seed() {  # seed TARGET NAME: standard input becomes the seed
  mkdir -p "$here/corpus/$1"
  cat >"$here/corpus/$1/$2"
}

# Tar writer: one byte giving the number of cuts, two bytes per cut size,
# then the stream.
tar_of tree . >all.tar
tar_of tree share/block bin/hello >block.tar
{ printf '\0'; cat all.tar; } | seed tar_writer whole-archive
{ printf '\3\0\1\31\3\177\3'; cat block.tar; } | seed tar_writer cut-at-odd-sizes
{ printf '\1\0\0'; head -c 1100 all.tar; } | seed tar_writer zero-calls-cut-short

# Installer: one byte giving the length of the answers, the answers, then
# the package that follows the stand-in installer program (its bytes as
# installer_fuzz.cpp builds them).
printf '\177ELF stand-in for the installer program\n' >stub
for ((i = $(stat -c %s stub); i < 1000; i++)); do printf "\\$(printf %o $((97 + i % 26)))"; done >>stub
stub_size=$(stat -c %s stub)
package() {  # package NAME ITEM...: the package part of a built installer
  "$vnpack" build -o setup --stub stub --compress bzip2 "${@:2}" >/dev/null
  tail -c +$((stub_size + 1)) setup >"$1"
}
package env-and-archive --env VN_PRODUCT=hello --archive tree
package two-archives --level 1 --archive tree/bin --tar block.tar
printf 'Welcome to hello.\n' >welcome
printf '#!/bin/sh\necho helper\n' >helper
package welcome-helper-archive --raw 1 welcome --raw 7 helper --env VN_PRODUCT=hello --archive tree/share
{ printf '\0'; cat env-and-archive; } | seed installer env-and-archive
{ printf '\2\n\n'; cat two-archives; } | seed installer two-archives-answered
{ printf '\0'; cat welcome-helper-archive; } | seed installer welcome-helper-archive
# Zstandard archive records: one from the zstd command, two frames in one
# record.
tar_of tree . | zstd -q -19 >tree.zst
{ tar_of tree/bin . | zstd -q -1; tar_of tree/share . | zstd -q -1; } >frames.zst
package zstd-archives --raw 20 tree.zst --raw 20 frames.zst
{ printf '\0'; cat zstd-archives; } | seed installer zstd-archives
# A damaged copy: the checksum fails and the answer passes over it.
{ printf '\1\n'; head -c 300 env-and-archive; printf 'X'; tail -c +302 env-and-archive; } |
  seed installer damaged-answered
# Type-20 reader: the same framing as the tar writer's. Links, long names
# by GNU and pax headers, and names that try to leave the directory.
long=$(printf 'n%.0s' $(seq 120))
mkdir -p "links/$long" && printf 'x\n' >"links/$long/f"
ln -s "$long/f" links/sym && ln "links/$long/f" links/hard
for format in gnu posix; do
  tar -b1 --format=$format --owner=0 --group=0 --mtime=@0 --sort=name -C links -cf - . >links-$format.tar
  { printf '\0'; cat links-$format.tar; } | seed pax_writer links-$format
done
{ printf '\2\0\7\1\1'; cat links-posix.tar; } | seed pax_writer links-posix-cut
tarforge=${TARFORGE:-$(dirname "$vnpack")/../tests/tarforge}
"$tarforge" file /abs x symlink up .. file up/x y hardlink h ../out pax path=../p file q z \
  gnu-name ../g file r w bad-checksum file s t >hostile.tar
{ printf '\0'; cat hostile.tar; } | seed pax_writer hostile
