// Decoding one bzip2 block with libbz2 from its marker on.
#include "block_decoder.h"

#include <cstdlib>
#include <cstring>

#include "block_buffers.h"

namespace {

// Complete bzip2 blocks of 1 to 14 bytes of data whose lengths in bits are
// 0 to 7 modulo 8, in that order.
struct alignment_block {
  unsigned bits;
  unsigned output;  // bytes it decompresses to
  unsigned char data[56];
};
constexpr alignment_block ALIGNMENT_BLOCKS[8] = {
    {352, 10, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x72, 0x0d, 0x47, 0xaf, 0x00, 0x00, 0x00, 0x57, 0x2a, 0x40, 0x40, 0x02, 0x02, 0x00, 0x10, 0x10, 0x00, 0x00, 0x00, 0x84, 0x00, 0x00, 0x20, 0x00, 0x01, 0x20, 0x00, 0x22, 0x01, 0xa6, 0x98, 0x40, 0x0c, 0x02, 0xbc, 0xd1, 0xc7, 0xd3}},
    {337, 9, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xdc, 0x96, 0x78, 0x47, 0x00, 0x00, 0x00, 0x55, 0x2a, 0x40, 0x40, 0x02, 0x02, 0x00, 0x10, 0x00, 0x00, 0x84, 0x00, 0x00, 0x20, 0x00, 0x01, 0x20, 0x00, 0x22, 0x0c, 0x99, 0x34, 0x20, 0xc9, 0x88, 0x30, 0x1d, 0x4f, 0xa7, 0x8b}},
    {330, 8, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xda, 0xfa, 0x9e, 0x95, 0x00, 0x00, 0x00, 0x55, 0x2a, 0x40, 0x40, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x84, 0x00, 0x00, 0x20, 0x00, 0x01, 0x20, 0x00, 0x31, 0x0c, 0x08, 0x19, 0x1a, 0x69, 0x99, 0x35, 0x73, 0xf9, 0x45}},
    {179, 1, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xb1, 0xf7, 0x40, 0x4b, 0x00, 0x00, 0x00, 0x40, 0x00, 0x40, 0x00, 0x20, 0x00, 0x21, 0x18, 0x46, 0x82}},
    {196, 2, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x70, 0xae, 0x46, 0x09, 0x00, 0x00, 0x00, 0x50, 0x00, 0x40, 0x00, 0x02, 0x00, 0x20, 0x00, 0x21, 0x00, 0x82, 0xb1}},
    {421, 14, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x19, 0x72, 0x34, 0x07, 0x00, 0x00, 0x00, 0x57, 0xaf, 0x40, 0x40, 0x02, 0x02, 0x00, 0x10, 0x10, 0x00, 0x00, 0x00, 0x80, 0x80, 0x04, 0x04, 0x00, 0x20, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x20, 0x00, 0x22, 0x98, 0x00, 0x68, 0x40, 0x00, 0x00, 0x0d, 0x15, 0x9e, 0x26, 0xaf, 0x34, 0x70}},
    {254, 4, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xfa, 0x42, 0x66, 0xc4, 0x00, 0x00, 0x00, 0x55, 0x00, 0x40, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0xa0, 0x00, 0x21, 0x9a, 0x68, 0x33, 0x4d, 0x13, 0x3c}},
    {335, 9, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x6c, 0x86, 0x14, 0xc8, 0x00, 0x00, 0x01, 0x55, 0x4a, 0x40, 0x00, 0x02, 0x00, 0x10, 0x10, 0x00, 0x80, 0x80, 0x04, 0x20, 0x00, 0x01, 0x00, 0x20, 0x00, 0x31, 0x06, 0x4c, 0x41, 0x06, 0x8c, 0x24, 0xc5, 0xbc, 0x53, 0x9e}},
};

uint64_t total_out(const bz_stream& s) { return (static_cast<uint64_t>(s.total_out_hi32) << 32) | s.total_out_lo32; }

}  // namespace

bool decoder_start(decoder& d, bz2_work_space& space) {
  std::memset(&d, 0, sizeof d);
  d.strm.bzalloc = bz2_work_space_alloc;
  d.strm.bzfree = bz2_work_space_free;
  d.strm.opaque = &space;
  d.init_error = BZ2_bzDecompressInit(&d.strm, 0, 0);
  if (d.init_error != BZ_OK) return false;
  d.buf = static_cast<char*>(blocks_grow(nullptr, DECODER_OUTPUT_PIECE));
  return true;
}

void decoder_end(decoder& d) {
  if (d.init_error == BZ_OK) BZ2_bzDecompressEnd(&d.strm);
  std::free(d.buf);
  d.buf = nullptr;
  d.init_error = BZ_CONFIG_ERROR;  // ended: a second end does nothing
}

bool decoder_produced(const decoder& d) { return total_out(d.strm) > d.skip; }

int decoder_feed(decoder& d, const unsigned char* p, size_t n, block_emit emit, void* ctx) {
  d.strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(p));
  d.strm.avail_in = static_cast<unsigned>(n);
  for (;;) {
    d.strm.next_out = d.buf;
    d.strm.avail_out = DECODER_OUTPUT_PIECE;
    const uint64_t before = total_out(d.strm);
    const int ret = BZ2_bzDecompress(&d.strm);
    unsigned produced = DECODER_OUTPUT_PIECE - d.strm.avail_out;
    const unsigned dropped = before >= d.skip ? 0 : static_cast<unsigned>(d.skip - before < produced ? d.skip - before : produced);
    produced -= dropped;
    if (produced > 0 && !emit(ctx, d.buf + dropped, produced)) return FED_ALL;
    if (ret != BZ_OK) return ret;
    if (d.strm.avail_in == 0 && d.strm.avail_out > 0) return BZ_OK;
  }
}

int decoder_begin(decoder& d, int level, uint64_t start, unsigned char first_byte, block_emit emit, void* ctx) {
  const alignment_block& a = ALIGNMENT_BLOCKS[start % 8];
  unsigned char prefix[BZ2_HEADER_BYTES + sizeof a.data + 2] = {'B', 'Z', 'h', static_cast<unsigned char>('0' + level)};
  bz2_bit_writer w;
  w.out = prefix;
  w.length = BZ2_HEADER_BYTES;
  w.put_bits(a.data, 0, a.bits);
  const int rest = static_cast<int>((8 - start % 8) % 8);
  if (rest > 0) w.put(first_byte, rest);
  d.skip = a.output;
  return decoder_feed(d, prefix, w.length, emit, ctx);
}

void block_space_release(block_space& space) {
  fast_space_release(space.fast);
  bz2_work_space_release(space.lib);
}

block_result decode_block(const unsigned char* raw, size_t raw_size, uint64_t start, uint64_t end, int level,
                          block_space& space, block_emit emit, void* ctx) {
  switch (fast_decode_block(raw, raw_size, static_cast<unsigned>(start % 8), end - start / 8 * 8, level,
                            space.fast, emit, ctx)) {
    case fast_outcome::complete:
      return {outcome::complete, BZ_OK};
    case fast_outcome::crc_mismatch:
      return {outcome::failed, BZ_DATA_ERROR};
    case fast_outcome::stopped:
      return {outcome::incomplete, FED_ALL};
    case fast_outcome::declined:
      break;
  }
  return decode_block_with_libbz2(raw, raw_size, start, level, space.lib, emit, ctx);
}

block_result decode_block_with_libbz2(const unsigned char* raw, size_t raw_size, uint64_t start, int level,
                                      bz2_work_space& space, block_emit emit, void* ctx) {
  decoder d;
  block_result r{outcome::init_failed, 0};
  if (decoder_start(d, space)) {
    int ret = decoder_begin(d, level, start, raw[0], emit, ctx);
    const size_t from = start % 8 == 0 ? 0 : 1;
    if (ret == BZ_OK) ret = decoder_feed(d, raw + from, raw_size - from, emit, ctx);
    if (ret == FED_ALL) r = {outcome::incomplete, ret};
    else if (ret == BZ_OK || ret == BZ_STREAM_END) r = {decoder_produced(d) ? outcome::complete : outcome::incomplete, ret};
    else r = {outcome::failed, ret};
  } else {
    r.error = d.init_error;
  }
  decoder_end(d);
  return r;
}
