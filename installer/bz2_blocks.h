// bz2_blocks.h - bit-level pieces of the bzip2 stream format, shared by the
// installer (which cuts streams into blocks to decompress them on several
// threads) and vnpack (which joins separately compressed blocks into one
// stream). A stream is "BZh" and a level digit, then blocks, each starting
// with a 48-bit marker at a bit (not byte) position, then a 48-bit end
// marker, a 32-bit CRC combined from the blocks' CRCs, and zero bits up to
// the next byte. libbz2 decompresses any one block on its own once it is
// framed as a stream of its own.
#ifndef VNINSTALL_BZ2_BLOCKS_H
#define VNINSTALL_BZ2_BLOCKS_H

#include <cstddef>
#include <cstdint>

#include "kept_memory.h"

constexpr uint64_t BZ2_BLOCK_MARKER = 0x314159265359;
constexpr uint64_t BZ2_END_MARKER = 0x177245385090;
constexpr int BZ2_MARKER_BITS = 48;
constexpr int BZ2_CRC_BITS = 32;
constexpr int BZ2_HEADER_BYTES = 4;  // "BZh" and the level digit
// A marker starting anywhere in a byte ends within this many bytes.
constexpr size_t BZ2_MARKER_SPAN = 7;

// True for "BZh1" to "BZh9".
bool bz2_is_stream_header(const unsigned char* p);

// The n (at most 57) bits that start at bit `bit` of p, most significant
// bit first; the bytes they touch must exist.
uint64_t bz2_bits_at(const unsigned char* p, uint64_t bit, int n);

// The stream's CRC after one more block.
inline uint32_t bz2_fold_crc(uint32_t combined, uint32_t block_crc) {
  return ((combined << 1) | (combined >> 31)) ^ block_crc;
}

struct bz2_marker {
  uint64_t bit;  // position of the marker's first bit
  bool is_end;   // the end marker rather than a block marker
};

// Calls found for every marker that starts in bytes [from, to) of p, in
// order. Bytes up to to + BZ2_MARKER_SPAN - 1 must exist.
void bz2_find_markers(const unsigned char* p, size_t from, size_t to, void (*found)(void* ctx, bz2_marker m),
                      void* ctx);

// Collects bits into whole bytes at `out`, which the caller keeps big
// enough: put_bits of n bits needs n / 8 + 1 bytes of room behind length.
struct bz2_bit_writer {
  unsigned char* out = nullptr;
  size_t length = 0;     // complete bytes at out
  uint64_t pending = 0;  // the last `pending_bits` bits
  int pending_bits = 0;

  void put(uint64_t value, int n);  // n <= 32
  // Appends nbits bits of p starting at bit `bit`.
  void put_bits(const unsigned char* p, uint64_t bit, uint64_t nbits);
  // The end marker, the combined CRC and zero bits to the byte boundary.
  void put_stream_end(uint32_t combined_crc);
};

// Work space for libbz2 streams started one after another on one thread:
// set bz2_work_space_alloc and bz2_work_space_free as a stream's allocator
// with the space as its opaque value, and what one stream frees, the next
// gets back (kept_memory.h).
using bz2_work_space = kept_memory;
void* bz2_work_space_alloc(void* space, int items, int size);
void bz2_work_space_free(void* space, void* p);
// Frees the blocks kept.
void bz2_work_space_release(bz2_work_space& space);

// The processors this process may run on, at least 1: a process held to one
// core (taskset, a container's CPU set) gains nothing from threads that
// would only take turns on it.
long usable_processors();

#endif  // VNINSTALL_BZ2_BLOCKS_H
