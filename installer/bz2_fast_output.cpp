// bz2_fast_output.cpp - the second half of our bzip2 block decoder: once
// the block's bytes are back in order (bz2_fast_walk.cpp), its runs of
// four and more expanded, and the output handed on in pieces and checked
// against the block's CRC. The run expansion follows libbz2's, which takes
// one byte past the block; a block whose last run would reach further is
// declined (libbz2 reports it, dropping part of its output in a way not
// worth copying).
#include <cstdlib>
#include <cstring>

#include "block_buffers.h"
#include "bz2_fast_block.h"
#include "large_pages.h"
#include "vnlib.h"

namespace {

// Output pieces of DECODER_OUTPUT_PIECE bytes, with the CRC of all so far.
struct piece_writer {
  unsigned char* piece;  // DECODER_OUTPUT_PIECE bytes and 2 to spare (or more)
  unsigned fill;
  uint32_t crc;
  block_emit emit;
  void* ctx;

  bool flush() {
    crc = vn::crc32_fold_from(crc, piece, fill);
    const bool go_on = emit(ctx, reinterpret_cast<const char*>(piece), fill);
    fill = 0;
    return go_on;
  }
  bool put(unsigned char c, unsigned n) {
    if (n <= 3 && DECODER_OUTPUT_PIECE - fill >= n) {  // the common case
      piece[fill] = piece[fill + 1] = piece[fill + 2] = c;
      fill += n;
      return true;
    }
    while (n > 0) {
      if (fill == DECODER_OUTPUT_PIECE && !flush()) return false;
      const unsigned m = n < DECODER_OUTPUT_PIECE - fill ? n : DECODER_OUTPUT_PIECE - fill;
      std::memset(piece + fill, c, m);
      fill += m;
      n -= m;
    }
    return true;
  }
};

// Counts the runs only.
struct run_counter {
  bool put(unsigned char, unsigned) { return true; }
};

enum class runs { ended, overrun, stopped };

// Expands the runs of bytes[from..n] (bytes[n] being the byte past the
// block), a run starting at `from`: four equal bytes are followed by a
// count of more. Stops where libbz2's expansion stops, or where it would
// take a byte beyond.
template <class Sink>
runs expand(const unsigned char* bytes, uint32_t from, uint32_t n, Sink& out) {
  const uint32_t end = n + 1;  // bytes taken once the block is done
  uint32_t used = from + 1;
  unsigned char k0 = bytes[from];
  while (used != end) {
    const unsigned char c = k0;
    unsigned len = 1;
    for (; len < 4; ++len) {
      const unsigned char k1 = bytes[used++];
      if (k1 != c || used == end) {
        k0 = k1;
        break;
      }
    }
    if (len == 4) {
      len += bytes[used++];
      if (used == end) return runs::overrun;
      k0 = bytes[used++];
    }
    if (!out.put(c, len)) return runs::stopped;
  }
  return runs::ended;
}

// Only a run of four that starts four bytes before the block's end takes a
// byte beyond it. A run starts at j where bytes[j] differs from the byte
// before and bytes[j - 4 .. j - 1] are not a run of four (whose count j
// would be), so the expansion is checked from the last such j found near
// the end, or else from the start.
constexpr uint32_t SYNC_SEARCH = 4096;

bool runs_end_in_block(const unsigned char* bytes, uint32_t n) {
  uint32_t from = 0;
  if (n >= 8) {
    const uint32_t lowest = n - 4 > SYNC_SEARCH ? n - 4 - SYNC_SEARCH : 4;
    for (uint32_t j = n - 4; j >= lowest && from == 0; --j) {
      const unsigned char before = bytes[j - 1];
      const bool four_before = bytes[j - 4] == before && bytes[j - 3] == before && bytes[j - 2] == before;
      if (bytes[j] != before && !four_before) from = j;
    }
  }
  run_counter counter;
  return expand(bytes, from, n, counter) == runs::ended;
}

}  // namespace

fast_outcome fast_emit_block(const fast_block& b, fast_space& s, block_emit emit, void* ctx) {
  if (s.bytes_size < fast_walk_room(b.nblock)) {
    s.bytes_size = fast_walk_room(static_cast<uint32_t>(s.tt_entries));
    std::free(s.bytes);
    s.bytes = static_cast<unsigned char*>(large_alloc_touched(s.bytes_size));
    if (s.bytes == nullptr) blocks_out_of_memory();
  }
  const unsigned char* bytes = fast_walk(s.tt, b, s.bytes);
  if (!runs_end_in_block(bytes, b.nblock)) return fast_outcome::declined;
  if (s.piece == nullptr) s.piece = static_cast<unsigned char*>(blocks_grow(nullptr, DECODER_OUTPUT_PIECE + 3));
  piece_writer w{s.piece, 0, 0xFFFFFFFFu, emit, ctx};
  if (expand(bytes, 0, b.nblock, w) == runs::stopped || (w.fill > 0 && !w.flush())) return fast_outcome::stopped;
  return ~w.crc == b.stored_crc ? fast_outcome::complete : fast_outcome::crc_mismatch;
}
