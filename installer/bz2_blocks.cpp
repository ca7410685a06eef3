// Bit reading, writing and marker scanning over bzip2 streams.
#include "bz2_blocks.h"

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sched.h>
#include <unistd.h>

namespace {

constexpr uint64_t MASK48 = (uint64_t{1} << 48) - 1;

// For each byte value, the bit offsets s (0-7) at which a marker starting
// s bits into the previous byte has that value as its second byte: bit s
// for the block marker, bit 8 + s for the end marker. The same for the
// third byte. A byte position is a candidate only when both agree on some
// offset, which is rare: the scan costs two table lookups per byte.
constexpr std::array<uint16_t, 256> make_byte_table(int byte) {
  std::array<uint16_t, 256> t{};
  const int shift = 40 - 8 * byte;
  for (int s = 0; s < 8; ++s) {
    t[(BZ2_BLOCK_MARKER >> (shift + s)) & 0xFF] |= static_cast<uint16_t>(1u << s);
    t[(BZ2_END_MARKER >> (shift + s)) & 0xFF] |= static_cast<uint16_t>(1u << (8 + s));
  }
  return t;
}
constexpr auto SECOND_BYTE = make_byte_table(1);
constexpr auto THIRD_BYTE = make_byte_table(2);

uint64_t load56(const unsigned char* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < BZ2_MARKER_SPAN; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

bool bz2_is_stream_header(const unsigned char* p) {
  return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
}

uint64_t bz2_bits_at(const unsigned char* p, uint64_t bit, int n) {
  const unsigned char* q = p + bit / 8;
  const int skip = static_cast<int>(bit % 8);
  const int bytes = (skip + n + 7) / 8;
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | q[i];
  v >>= bytes * 8 - skip - n;
  return n == 64 ? v : v & ((uint64_t{1} << n) - 1);
}

void bz2_find_markers(const unsigned char* p, size_t from, size_t to, void (*found)(void* ctx, bz2_marker m),
                      void* ctx) {
  for (size_t i = from; i < to; ++i) {
    const unsigned hits = SECOND_BYTE[p[i + 1]] & THIRD_BYTE[p[i + 2]];
    if (hits == 0) continue;
    const uint64_t window = load56(p + i);
    for (int s = 0; s < 8; ++s) {
      const uint64_t bits = (window >> (8 - s)) & MASK48;
      if ((hits >> s) & 1 && bits == BZ2_BLOCK_MARKER) found(ctx, {i * 8 + static_cast<uint64_t>(s), false});
      if ((hits >> (8 + s)) & 1 && bits == BZ2_END_MARKER) found(ctx, {i * 8 + static_cast<uint64_t>(s), true});
    }
  }
}

void bz2_bit_writer::put(uint64_t value, int n) {
  pending = (pending << n) | (value & ((uint64_t{1} << n) - 1));
  pending_bits += n;
  while (pending_bits >= 8) {
    pending_bits -= 8;
    out[length++] = static_cast<unsigned char>(pending >> pending_bits);
  }
}

void bz2_bit_writer::put_bits(const unsigned char* p, uint64_t bit, uint64_t nbits) {
  // Up to the source's next byte boundary, then whole source bytes.
  const int lead = static_cast<int>((8 - bit % 8) % 8);
  if (lead > 0) {
    const int n = nbits < static_cast<uint64_t>(lead) ? static_cast<int>(nbits) : lead;
    put(bz2_bits_at(p, bit, n), n);
    bit += static_cast<uint64_t>(n);
    nbits -= static_cast<uint64_t>(n);
  }
  const unsigned char* q = p + bit / 8;
  if (pending_bits == 0) {
    std::memcpy(out + length, q, nbits / 8);
    length += nbits / 8;
  } else {
    const int keep = pending_bits;  // stays the same across whole bytes
    unsigned carry = static_cast<unsigned>(pending);
    for (uint64_t i = 0; i < nbits / 8; ++i) {
      out[length++] = static_cast<unsigned char>((carry << (8 - keep)) | (q[i] >> keep));
      carry = q[i];
    }
    pending = carry & ((1u << keep) - 1);
  }
  const int rest = static_cast<int>(nbits % 8);
  if (rest > 0) put(q[nbits / 8] >> (8 - rest), rest);
}

void bz2_bit_writer::put_stream_end(uint32_t combined_crc) {
  put(BZ2_END_MARKER >> 24, 24);
  put(BZ2_END_MARKER & 0xFFFFFF, 24);
  put(combined_crc, 32);
  if (pending_bits > 0) put(0, 8 - pending_bits);
}

void* bz2_work_space_alloc(void* space, int items, int size) {
  return kept_alloc(*static_cast<bz2_work_space*>(space), static_cast<size_t>(items) * static_cast<size_t>(size));
}

void bz2_work_space_free(void* space, void* p) { kept_free(*static_cast<bz2_work_space*>(space), p); }

void bz2_work_space_release(bz2_work_space& space) { kept_release(space); }

long usable_processors() {
  long n = -1;
#ifdef CPU_COUNT
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = CPU_COUNT(&set);
#endif
  if (n < 1) n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 1 ? n : 1;
}
