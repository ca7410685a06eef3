# Growth benchmark, sourced by bench/run: installs of trees of many small
# files and of a few large files, each against the floor (tar -xf of the
# same tar, uncompressed and in the page cache, into an empty directory)
# and against the pipelines zstd -dc | tar -x and bzip2 -dc | tar -x.
# Uses bench/run's measure_once, alternate, median, ratio, secs, add_row.
#
#   growth_sizes   numbers of small files (10^3 10^4 10^5; 10^6 in long mode)
#   growth_big_mb  size of the large-file tree in MB (2048; quick: 200)
#   growth_level   zstd level of the packages (decompression speed hardly
#                  depends on it; packing at level 19 would take minutes)

# N files of 256 to 1792 bytes of source-like text, 100 to a directory.
gen_small_files() {  # DIR N SEED
  awk -v dir="$1" -v n="$2" -v seed="$3" '
    BEGIN {
      srand(seed)
      split("buffer count index length offset record entry header stream state value result", w, " ")
      for (f = 0; f < n; f++) {
        if (f % 100 == 0) {
          d = sprintf("%s/d%04d", dir, int(f / 100))
          if (f % 10000 == 0) { list = d; for (k = 1; k < 100 && f + k * 100 < n; k++) list = list sprintf(" %s/d%04d", dir, int(f / 100) + k); system("mkdir -p " list) }
        }
        path = sprintf("%s/%s_%d.c", d, w[1 + f % 12], f)
        want = 256 + int(rand() * 1536)
        s = ""
        while (length(s) < want) s = s sprintf("int %s_%d(int %s) { return %s + %d; }\n", w[1 + int(rand() * 12)], f, w[1 + int(rand() * 12)], w[1 + int(rand() * 12)], int(rand() * 1000))
        printf "%s", substr(s, 1, want) > path
        close(path)
      }
    }'
}

# Large files: half server logs (one generated part, copied), half random.
gen_large_files() {  # DIR MB
  mkdir -p "$1"
  local files=8 i part_mb=$(($2 / 8 > 0 ? $2 / 8 : 1))
  gen_logs "$1/.part" 32 7
  cat "$1/.part"/access-*.log > "$1/.log"
  rm -rf "$1/.part"
  for ((i = 0; i < files / 2; i++)); do
    local left=$((part_mb * 1048576))
    : > "$1/log-$i.log"
    while [ "$left" -gt 0 ]; do
      head -c "$left" "$1/.log" >> "$1/log-$i.log"
      left=$((part_mb * 1048576 - $(stat -c %s "$1/log-$i.log")))
    done
    head -c $((part_mb * 1048576)) /dev/urandom > "$1/blob-$i.bin"
  done
  rm -f "$1/.log"
}

# Installers of TREE in both codecs, the exact tar they hold, and that tar
# compressed for the pipelines: growth-NAME.{zstd,bzip2,tar,tar.zst,tar.bz2}.
pack_growth() {  # NAME TREE
  "$vnpack" build -o "growth-$1.zstd" --stub "$stub" --compress zstd --level "$growth_level" --archive "$2"
  "$vnpack" build -o "growth-$1.bzip2" --stub "$stub" --compress bzip2 --archive "$2"
  "./growth-$1.zstd" -gz > "growth-$1.tar" 2> /dev/null
  zstd -q -f "-$growth_level" -T0 "growth-$1.tar" -o "growth-$1.tar.zst"
  lbzip2 -9 -c "growth-$1.tar" > "growth-$1.tar.bz2" 2> /dev/null || bzip2 -9 -c "growth-$1.tar" > "growth-$1.tar.bz2"
}

# The runs of one size: each unpacks into the empty directory g-out.
growth_fresh() { retire g-out && mkdir g-out; }
growth_floor() { growth_fresh; measure_once -C g-out tar -xf "$work/growth-$growth_name.tar"; }
growth_zstd() { growth_fresh; measure_once -C g-out "$work/growth-$growth_name.zstd"; }
growth_bzip2() { growth_fresh; measure_once -C g-out "$work/growth-$growth_name.bzip2"; }
growth_zstd_pipe() { growth_fresh; measure_once -C g-out sh -c "zstd -dc '$work/growth-$growth_name.tar.zst' | tar -x"; }
growth_bzip2_pipe() { growth_fresh; measure_once -C g-out sh -c "bzip2 -dc '$work/growth-$growth_name.tar.bz2' | tar -x"; }
growth_gz() { measure_stream "$work/growth-$growth_name.bzip2" -gz; }

peak_of() { sort -n -k3 "$1" | tail -1 | cut -d' ' -f3; }
max_of() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b) ? a : b }'; }

# Rows for one tree; FILES is its count of files, for the per-file cost,
# and RUNS the runs of each command per pair.
growth_rows() {  # NAME LABEL FILES RUNS
  growth_name=$1
  local label=$2 files=$3 runs_here=$4 floor_wall floor_cpu zstd_rss bzip2_rss zstd_cost
  alternate growth_zstd growth_floor "$runs_here"
  floor_wall=$wall_b floor_cpu=$cpu_b zstd_rss=$(peak_of "$times_a")
  add_row "install, zstd, $label vs tar -xf" "$(secs "$wall_a" "$cpu_a")" "$(secs "$wall_b" "$cpu_b")" \
    "$(ratio "$wall_a" "$wall_b")" "$(ratio "$cpu_a" "$cpu_b")" "<= 1.05"
  zstd_cost=$(per_file_us "$wall_a" "$files")
  echo "bench: $label zstd install $(secs "$wall_a" "$cpu_a"), floor $(secs "$wall_b" "$cpu_b")" >&2
  alternate growth_zstd growth_zstd_pipe "$runs_here"
  add_row "install, zstd, $label vs zstd -dc \\| tar -x" "$(secs "$wall_a" "$cpu_a")" "$(secs "$wall_b" "$cpu_b")" \
    "$(ratio "$wall_a" "$wall_b")" "$(ratio "$cpu_a" "$cpu_b")" ""
  alternate growth_bzip2 growth_gz "$runs_here"
  bzip2_rss=$(peak_of "$times_a")
  local bound_wall bound_cpu
  bound_wall=$(max_of "$floor_wall" "$wall_b") bound_cpu=$(max_of "$floor_cpu" "$cpu_b")
  add_row "install, bzip2, $label vs max(tar -xf, -gz)" "$(secs "$wall_a" "$cpu_a")" "$(secs "$bound_wall" "$bound_cpu")" \
    "$(ratio "$wall_a" "$bound_wall")" "$(ratio "$cpu_a" "$bound_cpu")" "<= 1.05"
  echo "bench: $label bzip2 install $(secs "$wall_a" "$cpu_a"), -gz $(secs "$wall_b" "$cpu_b")" >&2
  alternate growth_bzip2 growth_bzip2_pipe "$runs_here"
  add_row "install, bzip2, $label vs bzip2 -dc \\| tar -x" "$(secs "$wall_a" "$cpu_a")" "$(secs "$wall_b" "$cpu_b")" \
    "$(ratio "$wall_a" "$wall_b")" "$(ratio "$cpu_a" "$cpu_b")" ""
  add_row "per-file cost and peak memory, $label" \
    "zstd $zstd_cost us/file, $zstd_rss KiB" "bzip2 $bzip2_rss KiB" "" "" ""
  growth_rss_zstd+=("$zstd_rss") growth_rss_bzip2+=("$bzip2_rss")
  retire g-out
}

per_file_us() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.2f", t / n * 1e6 }'; }

# Per-file cost at 10^5 files against 10^4, the two sizes' runs interleaved
# so that a drift of the host's speed between their rows does not count;
# the floor's own growth beside it, which is the file system's.
per_file_small() { growth_name=10000; growth_zstd; }
per_file_large() { growth_name=100000; growth_zstd; }
floor_small() { growth_name=10000; growth_floor; }
floor_large() { growth_name=100000; growth_floor; }
per_file_row() {  # RUNS-PREFIX LABEL GOAL
  alternate "$1_large" "$1_small" "$growth_runs"
  local large small
  large=$(per_file_us "$wall_a" 100000) small=$(per_file_us "$wall_b" 10000)
  add_row "per-file cost, $2, 10^5 vs 10^4 files" "$large us" "$small us" "$(ratio "$large" "$small")" \
    "$(ratio "$(per_file_us "$cpu_a" 100000)" "$(per_file_us "$cpu_b" 10000)")" "$3"
}
per_file_rows() {
  [ -f growth-10000.zstd ] && [ -f growth-100000.zstd ] || return 0
  echo "bench: growth, per-file cost at 10^5 against 10^4 files" >&2
  per_file_row per_file "zstd install" "<= 1.3"
  per_file_row floor "tar -xf" ""
  retire g-out
}

spread() { printf '%s\n' "$@" | sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print hi - lo }'; }

growth_section() {
  local n
  growth_rss_zstd=() growth_rss_bzip2=()
  for n in "${growth_sizes[@]}"; do
    echo "bench: growth, $n small files" >&2
    rm -rf "g-tree-$n" && mkdir "g-tree-$n"
    gen_small_files "g-tree-$n" "$n" "$n"
    pack_growth "$n" "g-tree-$n"
    retire "g-tree-$n"
    # Runs of 10^3 files last some 40 ms, where the host's noise is large.
    growth_rows "$n" "$n files" "$n" $((n <= 1000 ? growth_runs * 3 : growth_runs))
    # 10^4 and 10^5 stay for the per-file rows.
    case $n in 10000 | 100000) rm -f "growth-$n".{bzip2,tar.zst,tar.bz2} ;; *) rm -f "growth-$n".* ;; esac
  done
  per_file_rows
  rm -f growth-10000.* growth-100000.*
  add_row "peak memory across file counts (max - min)" "zstd $(spread "${growth_rss_zstd[@]}") KiB" \
    "bzip2 $(spread "${growth_rss_bzip2[@]}") KiB" "" "" "<= 1536 KiB each"
  echo "bench: growth, $growth_big_mb MB of large files" >&2
  gen_large_files g-large "$growth_big_mb"
  pack_growth large g-large
  rm -rf g-large
  growth_rows large "$growth_big_mb MB of large files" 8 "$growth_runs"
  rm -f growth-large.*
}
