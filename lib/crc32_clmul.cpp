// crc32_clmul.cpp - the register update by carry-less multiplication.
//
// Sixteen bytes, byte-reversed, form a polynomial of degree below 128 whose
// x^127 coefficient is the first bit. Four such accumulators advance over
// 64-byte strides: an accumulator X = H x^64 + L moves D bits forward as
// H (x^(D+64) mod P) + L (x^D mod P), two 64 x 32-bit products, and takes
// the next block by XOR. What is left is congruent to the data seen so far;
// its 16 bytes and the tail then go through the table form, which reduces
// them to the register.
#include "crc32_fold.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VN_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))
#endif

namespace vn::crc32_detail {

namespace {

constexpr size_t kBlock = 16;
constexpr size_t kStride = 4 * kBlock;

// x^k mod P, as the 32 low coefficients.
constexpr uint64_t x_power_mod(int k) {
  uint32_t r = 1;
  for (int i = 0; i < k; ++i) r = (r & 0x80000000u) ? (r << 1) ^ kPolynomial : r << 1;
  return r;
}

// Distances of one block and of one stride.
constexpr uint64_t kOneHigh = x_power_mod(128 + 64), kOneLow = x_power_mod(128);
constexpr uint64_t kFourHigh = x_power_mod(512 + 64), kFourLow = x_power_mod(512);

#ifdef VN_CLMUL_TARGET

VN_CLMUL_TARGET inline __m128i load_block(const unsigned char* p) {
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// X moved forward by the distance in k, plus the block b.
VN_CLMUL_TARGET inline __m128i advance(__m128i x, __m128i b, __m128i k) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), b);
}

VN_CLMUL_TARGET uint32_t fold_long(uint32_t reg, const unsigned char* p, size_t n) {
  const __m128i by_one = _mm_set_epi64x(static_cast<long long>(kOneHigh), static_cast<long long>(kOneLow));
  const __m128i by_four = _mm_set_epi64x(static_cast<long long>(kFourHigh), static_cast<long long>(kFourLow));
  // The register enters as the top 32 bits of the first block.
  __m128i x0 = _mm_xor_si128(load_block(p), _mm_set_epi32(static_cast<int>(reg), 0, 0, 0));
  __m128i x1 = load_block(p + kBlock);
  __m128i x2 = load_block(p + 2 * kBlock);
  __m128i x3 = load_block(p + 3 * kBlock);
  for (p += kStride, n -= kStride; n >= kStride; p += kStride, n -= kStride) {
    x0 = advance(x0, load_block(p), by_four);
    x1 = advance(x1, load_block(p + kBlock), by_four);
    x2 = advance(x2, load_block(p + 2 * kBlock), by_four);
    x3 = advance(x3, load_block(p + 3 * kBlock), by_four);
  }
  __m128i x = advance(advance(advance(x0, x1, by_one), x2, by_one), x3, by_one);
  for (; n >= kBlock; p += kBlock, n -= kBlock) x = advance(x, load_block(p), by_one);

  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  alignas(16) unsigned char rest[kBlock];
  _mm_store_si128(reinterpret_cast<__m128i*>(rest), _mm_shuffle_epi8(x, reverse));
  return fold_slicing(fold_slicing(0, rest, kBlock), p, n);
}

#endif

}  // namespace

#ifdef VN_CLMUL_TARGET

bool clmul_available() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3"); }

uint32_t fold_clmul(uint32_t reg, const unsigned char* p, size_t n) {
  // Below two strides the set-up costs more than the table form.
  return n < 2 * kStride ? fold_slicing(reg, p, n) : fold_long(reg, p, n);
}

#else

bool clmul_available() { return false; }
uint32_t fold_clmul(uint32_t reg, const unsigned char* p, size_t n) { return fold_slicing(reg, p, n); }

#endif

}  // namespace vn::crc32_detail
