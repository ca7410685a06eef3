#!/usr/bin/env bash
# Times the installation of a large archive record against plain bzip2 and
# tar on the same archive, in the same invocation, and prints the ratios.
#
#   bench/run.sh [BIN_DIR]     BIN_DIR holds vninstall and vnpack
#                              (default: build/bin beside this folder)
# Environment: BENCH_MB (uncompressed archive size, default 64),
#              BENCH_RUNS (runs of each command, best one counts; default 3).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin_dir=$(cd "${1:-$here/../build/bin}" && pwd)
mb=${BENCH_MB:-64}
runs=${BENCH_RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/vn-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Half many small text files, half a few large files of poorly compressible
# bytes: the per-entry work and the bulk data path both count.
mkdir -p src/small src/large
small_count=$((mb * 16))
for ((i = 0; i < small_count; i++)); do
  seq $((i * 3000)) $((i * 3000 + 4200)) > "src/small/f$i.txt"
done
for ((i = 0; i < 4; i++)); do
  head -c $((mb * 1024 * 1024 / 8)) /dev/urandom > "src/large/r$i.bin"
done
(cd src && tar --format=ustar -cf ../bench.tar .)
bzip2 -9 -k bench.tar
"$bin_dir/vnpack" build -o setup --stub "$bin_dir/vninstall" --bz2 bench.tar.bz2
echo "archive: $(($(stat -c %s bench.tar) / 1048576)) MiB, compressed $(($(stat -c %s bench.tar.bz2) / 1048576)) MiB, $((small_count + 4)) files"

# Best wall-clock time in seconds of running "$@" in a fresh directory.
best_time() {
  local best="" t0 t1 t
  for ((r = 0; r < runs; r++)); do
    rm -rf out && mkdir out
    t0=$(date +%s.%N)
    (cd out && "$@") > /dev/null 2>&1 </dev/null
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

install_time=$(best_time "$work/setup")
diff -r src out > /dev/null || { echo "bench: the installed tree differs from the source" >&2; exit 1; }
tar_time=$(best_time sh -c "bzip2 -dc '$work/bench.tar.bz2' | tar -x")
bzip2_time=$(best_time sh -c "bzip2 -dc '$work/bench.tar.bz2' > /dev/null")

printf 'vninstall install:          %8.3f s\n' "$install_time"
printf 'bzip2 -dc | tar -x:         %8.3f s   ratio %.2f\n' "$tar_time" "$(ratio "$install_time" "$tar_time")"
printf 'bzip2 -dc > /dev/null:      %8.3f s   ratio %.2f\n' "$bzip2_time" "$(ratio "$install_time" "$bzip2_time")"
