// crc32_join.cpp - folding parts of one byte range apart (on several
// threads) and joining their registers. The register update is linear: the
// register after folding bytes B into r is the register after folding as
// many zero bytes into r, xor the register after folding B into 0. And
// folding n zero bytes multiplies the register by x^(8n) modulo the
// polynomial, which square-and-multiply finds in 64 steps at most.
#include "crc32_fold.h"
#include "vnlib.h"

namespace vn {

namespace {

// a * b modulo the polynomial; bit 31 is the coefficient of x^31.
uint32_t multiply_mod(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int bit = 31; bit >= 0; --bit) {
    const bool carry = (product & 0x80000000u) != 0;
    product <<= 1;
    if (carry) product ^= crc32_detail::kPolynomial;
    if ((b >> bit) & 1u) product ^= a;
  }
  return product;
}

}  // namespace

uint32_t crc32_fold_from(uint32_t reg, const void* data, size_t length) {
  if (data == nullptr || length == 0) return reg;
  return crc32_detail::fold(reg, static_cast<const unsigned char*>(data), length);
}

uint32_t crc32_zeros(uint32_t reg, uint64_t length) {
  uint32_t factor = 1;      // x^0
  uint32_t power = 0x100u;  // x^8: one zero byte
  for (; length != 0; length >>= 1) {
    if (length & 1u) factor = multiply_mod(factor, power);
    power = multiply_mod(power, power);
  }
  return multiply_mod(reg, factor);
}

}  // namespace vn
