// crc32.cpp - CRC-32 with polynomial 0x04C11DB7, bits taken most significant
// first, register preset to 0xFFFFFFFF and complemented at the end.
//
// This checksum runs over the whole installer file, so the register update
// itself lives in crc32_fold.h: carry-less multiplication where the
// processor has it, eight bytes per table step otherwise. crc32_table is
// the public byte table; the fast forms keep tables of their own.
#include "crc32_fold.h"
#include "vnlib.h"

namespace vn {

namespace {

constexpr uint32_t kCrcPreset = 0xFFFFFFFFu;

// The register before the final complement; shared by crc32_set and
// crc32_accum only.
uint32_t crc32_register = 0;

// Entry 1 equals the polynomial once the table is built and is 0 before.
inline void ensure_crc32_table() {
  if (crc32_table[1] == 0) init_crc32();
}

// Mapped bytes go through a buffer of this size on their way to the fold.
constexpr int32_t kMapChunk = 4096;

uint32_t fold_bytes(uint32_t reg, const unsigned char* p, int32_t length) {
  if (length <= 0) return reg;
  return crc32_detail::fold(reg, p, static_cast<size_t>(length));
}

}  // namespace

uint32_t crc32_table[256];

void init_crc32() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      const bool top_bit = (reg & 0x80000000u) != 0;
      reg <<= 1;
      if (top_bit) reg ^= crc32_detail::kPolynomial;
    }
    crc32_table[i] = reg;
  }
}

uint32_t crc32(const void* data, int32_t length) {
  ensure_crc32_table();
  if (data == nullptr) return 0;  // nothing to checksum: same as empty
  return ~fold_bytes(kCrcPreset, static_cast<const unsigned char*>(data), length);
}

uint32_t crc32_monocase(const unsigned char* map, const void* data, int32_t length) {
  if (map == nullptr) return crc32(data, length);  // no map: every byte as is
  ensure_crc32_table();
  if (data == nullptr) return 0;
  uint32_t reg = kCrcPreset;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  unsigned char mapped[kMapChunk];
  while (length > 0) {
    const int32_t n = length < kMapChunk ? length : kMapChunk;
    for (int32_t i = 0; i < n; ++i) mapped[i] = map[p[i]];
    reg = fold_bytes(reg, mapped, n);
    p += n;
    length -= n;
  }
  return ~reg;
}

uint32_t crc32_set(uint32_t value) {
  crc32_register = value;
  return crc32_register;
}

uint32_t crc32_accum(const void* data, int32_t length) {
  ensure_crc32_table();
  if (data == nullptr) {
    crc32_register = kCrcPreset;
  } else {
    crc32_register =
        fold_bytes(crc32_register, static_cast<const unsigned char*>(data), length);
  }
  return ~crc32_register;
}

}  // namespace vn
