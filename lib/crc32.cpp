// crc32.cpp - CRC-32 with polynomial 0x04C11DB7, bits taken most significant
// first, register preset to 0xFFFFFFFF and complemented at the end.
//
// This checksum runs over the whole installer file, so the per-byte step is
// kept to one table lookup, two shifts and two XORs.
#include "vnlib.h"

namespace vn {

namespace {

constexpr uint32_t kCrcPolynomial = 0x04C11DB7u;
constexpr uint32_t kCrcPreset = 0xFFFFFFFFu;

// The register before the final complement; shared by crc32_set and
// crc32_accum only.
uint32_t crc32_register = 0;

// Entry 1 equals the polynomial once the table is built and is 0 before.
inline void ensure_crc32_table() {
  if (crc32_table[1] == 0) init_crc32();
}

inline uint32_t fold_byte(uint32_t reg, unsigned char byte) {
  return (reg << 8) ^ crc32_table[(reg >> 24) ^ byte];
}

uint32_t fold_bytes(uint32_t reg, const unsigned char* p, int32_t length) {
  if (length <= 0) return reg;
  const unsigned char* const end = p + length;
  while (p != end) reg = fold_byte(reg, *p++);
  return reg;
}

}  // namespace

uint32_t crc32_table[256];

void init_crc32() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      const bool top_bit = (reg & 0x80000000u) != 0;
      reg <<= 1;
      if (top_bit) reg ^= kCrcPolynomial;
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
  if (length > 0) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    const unsigned char* const end = p + length;
    while (p != end) reg = fold_byte(reg, map[*p++]);
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
