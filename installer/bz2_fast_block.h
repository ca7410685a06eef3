// bz2_fast_block.h - our own decoder for the bzip2 blocks the pool's
// threads decode: Huffman codes read through lookup tables, the block put
// back in order by several walks at once, its runs expanded and its output
// checked against the block's CRC.
//
// libbz2 stays the reference. This decoder takes a block on only when it
// can tell, before it hands on any output, that libbz2 would decode it to
// the same bytes with the same end: the block's tables are sound, its codes
// complete (as every compressor writes them), it is not randomised, it
// ends exactly where the next marker starts, and its runs end where the
// block does. Any other block (damaged, cut at a marker pattern inside
// compressed data, or merely unusual) is declined untouched, and libbz2
// decodes it from its start, so the writer gets what libbz2 would have
// given it and failures stay libbz2's. A block whose bytes do not match its
// CRC is handed on whole and then reported, as libbz2 does.
#ifndef VNINSTALL_BZ2_FAST_BLOCK_H
#define VNINSTALL_BZ2_FAST_BLOCK_H

#include <cstddef>
#include <cstdint>

// Takes a piece of a block's output; false stops the decoding.
using block_emit = bool (*)(void* ctx, const char* data, unsigned n);

// A decoder hands on a block's output in pieces of this size, the last
// one shorter.
constexpr unsigned DECODER_OUTPUT_PIECE = 64 * 1024;

enum class fast_outcome {
  complete,      // all output handed on, and its CRC matched
  crc_mismatch,  // all output handed on, and its CRC did not match
  stopped,       // emit asked to stop
  declined,      // nothing handed on: libbz2 must decode the block
};

struct fast_tables;

// Memory kept from one block to the next on one thread. The two tables of
// megabytes are in large pages (large_pages.h).
struct fast_space {
  uint32_t* tt;  // per position: its byte, and above it the link to the next
  size_t tt_entries;
  unsigned char* bytes;  // room for the walks' output (fast_walk_room)
  size_t bytes_size;
  unsigned char* piece;  // the output piece being filled
  fast_tables* tables;   // selectors and Huffman tables
};
void fast_space_release(fast_space& s);

// Decodes the block whose marker starts at bit first_bit (0 to 7) of
// raw[0]; raw holds the bytes up to the one where the next marker starts,
// at bit end_bit of raw. Output goes to emit in pieces of
// DECODER_OUTPUT_PIECE bytes (the last one shorter), as libbz2's does.
fast_outcome fast_decode_block(const unsigned char* raw, size_t raw_size, unsigned first_bit, uint64_t end_bit,
                               int level, fast_space& space, block_emit emit, void* ctx);

// The second half, once the block's bytes stand in tt in the order the
// Huffman stage gave them.
struct fast_block {
  uint32_t nblock;
  uint32_t orig_ptr;  // below nblock
  uint32_t stored_crc;
  uint32_t counts[256];  // of each byte value in the block
};
fast_outcome fast_emit_block(const fast_block& b, fast_space& space, block_emit emit, void* ctx);

// Links the positions of tt, then puts the block's bytes in output order,
// with the byte past the block that libbz2's walk takes too: in `room`, of
// fast_walk_room(nblock) bytes, or over tt itself. Returns where they are.
size_t fast_walk_room(uint32_t nblock);
const unsigned char* fast_walk(uint32_t* tt, const fast_block& b, unsigned char* room);

#endif  // VNINSTALL_BZ2_FAST_BLOCK_H
