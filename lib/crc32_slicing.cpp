// crc32_slicing.cpp - the portable register update: eight bytes per step
// through eight tables, where table k holds the register contribution of a
// byte followed by k zero bytes. The tables are computed at compile time.
#include <array>
#include <atomic>

#include "crc32_fold.h"

namespace vn::crc32_detail {

namespace {

constexpr int kSlices = 8;

using SliceTables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr SliceTables make_slice_tables() {
  SliceTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ kPolynomial : reg << 1;
    t[0][i] = reg;
  }
  for (int k = 1; k < kSlices; ++k)
    for (int i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  return t;
}

constexpr SliceTables kTables = make_slice_tables();

inline uint32_t load_big_endian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

uint32_t fold_slicing(uint32_t reg, const unsigned char* p, size_t n) {
  const auto& t = kTables;
  for (; n >= kSlices; p += kSlices, n -= kSlices) {
    const uint32_t a = reg ^ load_big_endian(p);
    const uint32_t b = load_big_endian(p + 4);
    reg = t[7][a >> 24] ^ t[6][(a >> 16) & 0xff] ^ t[5][(a >> 8) & 0xff] ^ t[4][a & 0xff] ^
          t[3][b >> 24] ^ t[2][(b >> 16) & 0xff] ^ t[1][(b >> 8) & 0xff] ^ t[0][b & 0xff];
  }
  for (; n > 0; --n) reg = (reg << 8) ^ t[0][(reg >> 24) ^ *p++];
  return reg;
}

namespace {

using FoldForm = uint32_t (*)(uint32_t, const unsigned char*, size_t);

// Chosen at the first call. Callers on several threads may make that
// first call at once (the installer folds on more than one), and each
// chooses the same form.
std::atomic<FoldForm> chosen_form{nullptr};

}  // namespace

uint32_t fold(uint32_t reg, const unsigned char* p, size_t n) {
  FoldForm form = chosen_form.load(std::memory_order_relaxed);
  if (form == nullptr) {
    form = clmul_available() ? fold_clmul : fold_slicing;
    chosen_form.store(form, std::memory_order_relaxed);
  }
  return form(reg, p, n);
}

}  // namespace vn::crc32_detail
