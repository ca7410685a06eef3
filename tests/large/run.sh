#!/usr/bin/env bash
# Slow tests of large packages, run on request (CTest does not run them):
#   tests/large/run.sh [BUILD_DIR]      (default: build)
# They need about 6 GiB of free space under ${TMPDIR:-/tmp} and some minutes:
#   1. an archive entry larger than 2 GiB unpacks whole and correct;
#   2. records that lie beyond offset 2^31 are walked and carried out;
#   3. vnpack refuses an installer that would reach 4 GiB before writing it.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
export PATH="$build/bin:$build/tests:$PATH" LC_ALL=C
unset TEMP TMP

GiB=$((1 << 30))
W=$(mktemp -d "${TMPDIR:-/tmp}/vn-large.XXXXXX")
trap 'rm -rf "$W"' EXIT
cd "$W"
avail=$(df --output=avail -B1 . | tail -n 1)
[ "$avail" -ge $((6 * GiB)) ] || { echo "need 6 GiB free in $W, have $avail bytes"; exit 2; }

step() { echo "== $*"; }
fail() { echo "FAIL: $*"; exit 1; }
# put_byte FILE OFFSET CHAR: one marker byte, so a shifted or cut copy differs.
put_byte() { printf '%s' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

step "1. an archive entry of 2 GiB + 1 MiB"
big=$((2 * GiB + (1 << 20)))
mkdir src
truncate -s "$big" src/big.bin  # zeros, so it compresses well
put_byte src/big.bin 0 A
put_byte src/big.bin 123456789 B
put_byte src/big.bin $((2 * GiB - 1)) C
put_byte src/big.bin $((2 * GiB)) D
put_byte src/big.bin $((big - 1)) E
vnpack build -o setup1 --compress bzip2 --level 1 --archive src
mkdir inst1
(cd inst1 && ../setup1 </dev/null >../out1 2>&1) || fail "setup1 exited with $?"
grep -qx "Extracting big.bin .. $big bytes" out1 || { cat out1; fail "no line for big.bin"; }
grep -qx "Installation successfully completed." out1 || { cat out1; fail "setup1 did not complete"; }
cmp inst1/big.bin src/big.bin || fail "big.bin differs"
rm -rf inst1 setup1 src
echo ok

step "2. records at offsets beyond 2^31"
mkdir first after
echo first > first/first.txt
echo after > after/after.txt
tar --format=ustar -C first -cf first.tar first.txt && bzip2 first.tar
# One archive record whose body is a small stream followed by 2 GiB of
# bytes that are no stream: the records after it start beyond 2^31.
cp first.tar.bz2 body && truncate -s +$((2 * GiB)) body
vnpack build -o setup2 --raw 2 body --env BEYOND=1 --compress bzip2 --archive after
vnpack verify setup2 >/dev/null || fail "vnpack verify setup2"
vnpack list setup2 >list2 || { cat list2; fail "vnpack list setup2"; }
mkdir inst2
(cd inst2 && ../setup2 </dev/null >../out2 2>&1) || fail "setup2 exited with $?"
grep -qx "BEYOND=1" out2 || { cat out2; fail "the environment record beyond 2^31 was not carried out"; }
grep -qx "Installation successfully completed." out2 || { cat out2; fail "setup2 did not complete"; }
[ "$(cat inst2/first.txt)" = first ] && [ "$(cat inst2/after.txt)" = after ] || fail "files of setup2 differ"
rm -rf inst2 setup2 body
echo ok

step "3. vnpack refuses an installer of 4 GiB"
truncate -s $((4 * GiB)) huge.bin
mkdir out3 && echo old > out3/setup
if vnpack build -o out3/setup --raw 2 huge.bin 2>err3; then fail "vnpack built a 4 GiB installer"; fi
grep -q "would reach 4 GiB" err3 || { cat err3; fail "no clear message"; }
[ "$(ls -A out3)" = setup ] && [ "$(cat out3/setup)" = old ] || fail "vnpack wrote before refusing"
echo ok
echo "all large-package tests passed"
