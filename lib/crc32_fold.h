// crc32_fold.h - internal to the library: folding a byte range into the
// CRC register (polynomial 0x04C11DB7, most significant bit first), in the
// fastest form this processor offers. Each form is reachable on its own so
// that the tests can hold it against the bit-at-a-time definition.
#ifndef VNLIB_CRC32_FOLD_H
#define VNLIB_CRC32_FOLD_H

#include <cstddef>
#include <cstdint>

namespace vn::crc32_detail {

// The polynomial without its x^32 term, bit 31 the coefficient of x^31.
constexpr uint32_t kPolynomial = 0x04C11DB7u;

// The register after folding in n bytes at p: every form returns exactly
// (reg << 8) ^ table[(reg >> 24) ^ byte] applied byte by byte.
uint32_t fold(uint32_t reg, const unsigned char* p, size_t n);

// Eight bytes per step through eight derived tables; any processor.
uint32_t fold_slicing(uint32_t reg, const unsigned char* p, size_t n);

// Carry-less multiplication, 64 bytes per step; only where
// clmul_available() says the processor has it.
bool clmul_available();
uint32_t fold_clmul(uint32_t reg, const unsigned char* p, size_t n);

}  // namespace vn::crc32_detail

#endif  // VNLIB_CRC32_FOLD_H
