// bz2_parallel.cpp - pieces compressed by libbz2 on worker threads, joined
// into one bzip2 stream on the calling thread.
#include "bz2_parallel.h"

#include <bzlib.h>

#include <algorithm>

#include "errors.h"

namespace vnpack {

namespace {

// libbz2 closes a block once 100000 * level - 19 bytes of its run-length
// pre-encoding are in it. The pre-encoding writes runs of 4 to 255 equal
// bytes as 5 bytes and shorter runs as they are.
size_t block_capacity(int level) { return static_cast<size_t>(100000 * level - 19); }
size_t run_cost(unsigned length) { return length < 4 ? length : 5; }

// The first piece fills this share of a block, and each next one twice as
// much until a piece fills a block. A decompressor's first output waits
// for the whole first block; a small one lets an installer start writing
// at once while the larger blocks decode beside it. That costs some bytes
// of compression in the first blocks only.
constexpr size_t FIRST_PIECE_SHARE = 8;
constexpr int STREAM_END_BITS = BZ2_MARKER_BITS + BZ2_CRC_BITS;
constexpr uint64_t FIRST_BLOCK_BIT = BZ2_HEADER_BYTES * 8;

// A thread's libbz2 work space, kept from one piece to the next.
struct ThreadWorkSpace {
  bz2_work_space space{};
  ThreadWorkSpace() = default;
  ThreadWorkSpace(const ThreadWorkSpace&) = delete;
  ThreadWorkSpace& operator=(const ThreadWorkSpace&) = delete;
  ~ThreadWorkSpace() { bz2_work_space_release(space); }
};

std::vector<unsigned char> compress_stream(const char* data, size_t n, int level) {
  thread_local ThreadWorkSpace work;
  std::vector<unsigned char> out(n + n / 100 + 600);
  bz_stream strm{};
  strm.bzalloc = bz2_work_space_alloc;
  strm.bzfree = bz2_work_space_free;
  strm.opaque = &work.space;
  // workFactor 0: libbz2's default, so the output depends on the data only.
  int rc = BZ2_bzCompressInit(&strm, level, 0, 0);
  if (rc == BZ_OK) {
    strm.next_in = const_cast<char*>(data);
    strm.avail_in = static_cast<unsigned>(n);
    strm.next_out = reinterpret_cast<char*>(out.data());
    strm.avail_out = static_cast<unsigned>(out.size());
    // The buffer holds the worst case; a full one would only repeat.
    do rc = BZ2_bzCompress(&strm, BZ_FINISH);
    while (rc == BZ_FINISH_OK && strm.avail_out > 0);
    out.resize(out.size() - strm.avail_out);
    BZ2_bzCompressEnd(&strm);
  }
  if (rc != BZ_STREAM_END) throw Failure("bzip2 compression failed (error " + std::to_string(rc) + ")");
  return out;
}

// The block of a one-block stream; false when the stream holds more blocks.
bool single_block(std::vector<unsigned char>& stream, Bz2Block& block) {
  const uint64_t total = stream.size() * 8;
  for (int pad = 0; pad < 8; ++pad) {
    const uint64_t end = total - STREAM_END_BITS - static_cast<uint64_t>(pad);
    if (end < FIRST_BLOCK_BIT + BZ2_MARKER_BITS + BZ2_CRC_BITS) return false;
    if (bz2_bits_at(stream.data(), end, BZ2_MARKER_BITS) != BZ2_END_MARKER) continue;
    const auto block_crc = static_cast<uint32_t>(bz2_bits_at(stream.data(), FIRST_BLOCK_BIT + BZ2_MARKER_BITS, 32));
    const auto stream_crc = static_cast<uint32_t>(bz2_bits_at(stream.data(), end + BZ2_MARKER_BITS, 32));
    // One block: the stream's CRC is that block's CRC.
    if (stream_crc != bz2_fold_crc(0, block_crc)) return false;
    block.stream.swap(stream);
    block.end_bit = end;
    block.crc = block_crc;
    return true;
  }
  return false;
}

}  // namespace

unsigned default_jobs() { return static_cast<unsigned>(usable_processors()); }

std::vector<Bz2Block> compress_blocks(const char* data, size_t n, int level) {
  std::vector<unsigned char> stream = compress_stream(data, n, level);
  Bz2Block block;
  if (single_block(stream, block)) return {std::move(block)};
  // Data the pre-encoding expands past one block: halves fit.
  std::vector<Bz2Block> blocks = compress_blocks(data, n / 2, level);
  for (Bz2Block& b : compress_blocks(data + n / 2, n - n / 2, level)) blocks.push_back(std::move(b));
  return blocks;
}

ParallelBz2Compressor::ParallelBz2Compressor(int level, unsigned jobs, ByteSink& out)
    : capacity_(block_capacity(level)),
      piece_limit_(capacity_ / FIRST_PIECE_SHARE),
      out_(out),
      pieces_(
          jobs, [level](const std::string& input) { return compress_blocks(input.data(), input.size(), level); },
          [this](std::vector<Bz2Block>& blocks) { join(blocks); }) {
  const unsigned char header[BZ2_HEADER_BYTES] = {'B', 'Z', 'h', static_cast<unsigned char>('0' + level)};
  bytes_.assign(header, header + BZ2_HEADER_BYTES);
  bits_.length = BZ2_HEADER_BYTES;
  current_.reserve(capacity_);
}

// A piece ends just before its pre-encoding could fill a block, so that it
// is one full block. Where it ends depends on the data only.
void ParallelBz2Compressor::write(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  // The counts are kept in locals: the data's bytes may alias the members,
  // which would otherwise be stored and loaded again for every byte.
  int run_byte = run_byte_;
  unsigned run_length = run_length_;
  size_t encoded = encoded_;
  // Without branches: whether a run goes on is data, and unpredictable.
  auto add_byte = [&](unsigned char c) {
    const bool same = c == run_byte && run_length < 255;
    encoded += same ? 0 : run_cost(run_length);
    run_length = same ? run_length + 1 : 1;
    run_byte = c;
  };
  size_t taken = 0;
  size_t limit = piece_limit_;
  for (size_t i = 0; i < n;) {
    // The pre-encoded length grows by at most 2 a byte (a run reaching four
    // bytes costs 5): bytes that cannot fill the piece go without the test.
    const size_t used = encoded + run_cost(run_length) + 1;
    const size_t unchecked = std::min(n - i, used + 2 < limit ? (limit - used - 1) / 2 : 0);
    for (const size_t stop = i + unchecked; i < stop; ++i) add_byte(p[i]);
    if (i == n) break;
    add_byte(p[i++]);
    if (encoded + run_cost(run_length) + 1 >= limit) {
      current_.append(reinterpret_cast<const char*>(p + taken), i - taken);
      taken = i;
      submit();  // starts the next piece's counts and limit
      run_byte = run_byte_;
      run_length = run_length_;
      encoded = encoded_;
      limit = piece_limit_;
    }
  }
  current_.append(reinterpret_cast<const char*>(p + taken), n - taken);
  run_byte_ = run_byte;
  run_length_ = run_length;
  encoded_ = encoded;
}

void ParallelBz2Compressor::finish() {
  if (finished_) return;
  if (!current_.empty()) submit();
  pieces_.finish();
  make_room(STREAM_END_BITS + 8);
  bits_.put_stream_end(combined_crc_);
  flush();
  finished_ = true;
}

void ParallelBz2Compressor::make_room(uint64_t bits) {
  bytes_.resize(bits_.length + bits / 8 + 8);
  bits_.out = bytes_.data();
}

void ParallelBz2Compressor::flush() {
  out_.write(bytes_.data(), bits_.length);
  bits_.length = 0;
}

void ParallelBz2Compressor::submit() {
  pieces_.submit(current_);
  current_.reserve(capacity_);
  piece_limit_ = std::min(capacity_, piece_limit_ * 2);
  run_byte_ = -1;
  run_length_ = 0;
  encoded_ = 0;
}

void ParallelBz2Compressor::join(std::vector<Bz2Block>& blocks) {
  for (const Bz2Block& b : blocks) {
    make_room(b.end_bit - FIRST_BLOCK_BIT);
    bits_.put_bits(b.stream.data(), FIRST_BLOCK_BIT, b.end_bit - FIRST_BLOCK_BIT);
    combined_crc_ = bz2_fold_crc(combined_crc_, b.crc);
  }
  flush();
}

}  // namespace vnpack
