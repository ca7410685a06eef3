// block_decoder.h - libbz2 decoding one bzip2 block that starts at any bit
// of the record, fed the record's own bytes.
//
// libbz2 decodes bytes, and blocks start at any bit. So that the record's
// bytes can be fed unchanged, a block is preceded by a stream header and a
// tiny block of known content whose length in bits leaves the real block
// at its own bit position in the byte; the tiny block's output is dropped.
// Beyond that a decoder is fed only bytes of the record itself, so whatever
// it outputs is what the sequential path outputs for that block, damaged
// or not.
#ifndef VNINSTALL_BLOCK_DECODER_H
#define VNINSTALL_BLOCK_DECODER_H

#include <bzlib.h>

#include <cstddef>
#include <cstdint>

#include "bz2_blocks.h"
#include "bz2_fast_block.h"

// decoder_feed stopped because the emit callback said so.
constexpr int FED_ALL = 1;

// What the blocks decoded on one thread keep from one to the next: our
// decoder's memory, and libbz2's for the blocks ours declines.
struct block_space {
  fast_space fast;
  bz2_work_space lib;
};
void block_space_release(block_space& space);

struct decoder {
  bz_stream strm;
  int init_error;
  char* buf;
  uint64_t skip;  // output of the alignment block
};

// False, with init_error set, when libbz2 cannot start.
bool decoder_start(decoder& d, bz2_work_space& space);
void decoder_end(decoder& d);

// Ends a decoder when the function that started it returns.
struct decoder_owner {
  decoder& d;
  ~decoder_owner() { decoder_end(d); }
};

// True once the block that begins at the start bit has given output.
bool decoder_produced(const decoder& d);

// Decompresses n more bytes, handing each piece of output to emit. Returns
// BZ_OK once all input is taken and the decoder wants more, BZ_STREAM_END,
// FED_ALL, or libbz2's error.
int decoder_feed(decoder& d, const unsigned char* p, size_t n, block_emit emit, void* ctx);

// A stream header of `level`, the alignment block and the bits of
// first_byte from bit start % 8 on; the record's bytes after that follow
// unchanged.
int decoder_begin(decoder& d, int level, uint64_t start, unsigned char first_byte, block_emit emit, void* ctx);

enum class outcome { running, complete, incomplete, failed, init_failed };

struct block_result {
  outcome result;
  int error;
};

// Decompresses the block that starts at bit `start` of the record, given
// the record's bytes from byte start / 8 up to the byte of the next
// marker, at bit `end`: with our decoder, or libbz2 where ours declines.
block_result decode_block(const unsigned char* raw, size_t raw_size, uint64_t start, uint64_t end, int level,
                          block_space& space, block_emit emit, void* ctx);
// The same with libbz2 alone.
block_result decode_block_with_libbz2(const unsigned char* raw, size_t raw_size, uint64_t start, int level,
                                      bz2_work_space& space, block_emit emit, void* ctx);

#endif  // VNINSTALL_BLOCK_DECODER_H
