#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "crc32_fold.h"
#include "vnlib.h"

namespace {

constexpr char kCheckInput[] = "123456789";
constexpr int32_t kCheckLength = 9;
constexpr uint32_t kCheckValue = 0xFC891918u;

std::array<unsigned char, 256> identity_map() {
  std::array<unsigned char, 256> map{};
  for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i);
  return map;
}

TEST(Crc32, TableIsBuiltLazilyAndMatchesPolynomial) {
  std::memset(vn::crc32_table, 0, sizeof vn::crc32_table);
  EXPECT_EQ(vn::crc32(kCheckInput, kCheckLength), kCheckValue);
  EXPECT_EQ(vn::crc32_table[0], 0u);
  EXPECT_EQ(vn::crc32_table[1], 0x04C11DB7u);
  EXPECT_EQ(vn::crc32_table[2], 0x09823B6Eu);
  EXPECT_EQ(vn::crc32_table[128], 0x690CE0EEu);
  EXPECT_EQ(vn::crc32_table[255], 0xB1F740B4u);

  // The running checksum and the mapped checksum build the table too.
  std::memset(vn::crc32_table, 0, sizeof vn::crc32_table);
  vn::crc32_accum(nullptr, 0);
  EXPECT_EQ(vn::crc32_accum(kCheckInput, kCheckLength), kCheckValue);
  std::memset(vn::crc32_table, 0, sizeof vn::crc32_table);
  const auto map = identity_map();
  EXPECT_EQ(vn::crc32_monocase(map.data(), kCheckInput, kCheckLength), kCheckValue);
}

TEST(Crc32, KnownValuesAndEmptyRanges) {
  EXPECT_EQ(vn::crc32(kCheckInput, kCheckLength), kCheckValue);
  EXPECT_EQ(vn::crc32("", 0), 0u);
  EXPECT_EQ(vn::crc32(kCheckInput, -5), 0u);
  EXPECT_EQ(vn::crc32(nullptr, 100), 0u);
  const unsigned char zero = 0;
  EXPECT_EQ(vn::crc32(&zero, 1), 0xB1F7404Bu);
}

// Bit at a time, straight from the polynomial: an independent reference.
uint32_t bitwise_fold(uint32_t reg, const unsigned char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    reg ^= static_cast<uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
  }
  return reg;
}

uint32_t bitwise_crc(const unsigned char* data, size_t length) { return ~bitwise_fold(0xFFFFFFFFu, data, length); }

std::vector<unsigned char> pseudo_random_bytes(size_t n, uint32_t seed) {
  std::vector<unsigned char> bytes(n);
  for (auto& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(seed >> 16);
  }
  return bytes;
}

// Every form of the register update, on every short length at every
// alignment and on long ranges, from arbitrary registers.
TEST(Crc32, EveryFoldAgreesWithBitwiseDefinition) {
  using Fold = uint32_t (*)(uint32_t, const unsigned char*, size_t);
  std::vector<std::pair<const char*, Fold>> forms = {{"slicing", vn::crc32_detail::fold_slicing},
                                                     {"chosen", vn::crc32_detail::fold}};
  if (vn::crc32_detail::clmul_available()) forms.emplace_back("clmul", vn::crc32_detail::fold_clmul);

  const auto data = pseudo_random_bytes(70000, 7);
  uint32_t reg = 0x12345678u;
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t len = 0; len <= 300; ++len) {
      reg = reg * 2654435761u + 1;
      const uint32_t expected = bitwise_fold(reg, data.data() + offset, len);
      for (const auto& [name, form] : forms)
        ASSERT_EQ(form(reg, data.data() + offset, len), expected) << name << " offset " << offset << " length " << len;
    }
  }
  for (size_t len : {1023u, 4096u, 65536u + 13u, 69999u}) {
    const uint32_t expected = bitwise_fold(0xFFFFFFFFu, data.data() + 1, len);
    for (const auto& [name, form] : forms) EXPECT_EQ(form(0xFFFFFFFFu, data.data() + 1, len), expected) << name << " length " << len;
  }
}

TEST(Crc32, AgreesWithBitwiseReference) {
  std::array<unsigned char, 4099> data{};
  uint32_t seed = 12345;
  for (auto& byte : data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(seed >> 16);
  }
  for (int len : {1, 2, 3, 7, 64, 4099}) {
    EXPECT_EQ(vn::crc32(data.data(), len), bitwise_crc(data.data(), len)) << "length " << len;
  }
}

TEST(Crc32, RunningChecksumEqualsOneShotOverConcatenation) {
  const std::string a = "The quick brown fox ";
  const std::string b = "jumps over the lazy dog\xff\x80";
  const std::string ab = a + b;
  const uint32_t whole = vn::crc32(ab.data(), static_cast<int32_t>(ab.size()));

  EXPECT_EQ(vn::crc32_accum(nullptr, 0), 0u);  // reset: nothing folded in yet
  vn::crc32_accum(a.data(), static_cast<int32_t>(a.size()));
  // A one-shot checksum in the middle leaves the running register alone.
  EXPECT_EQ(vn::crc32(kCheckInput, kCheckLength), kCheckValue);
  EXPECT_EQ(vn::crc32_accum(b.data(), 0), vn::crc32(a.data(), static_cast<int32_t>(a.size())));
  EXPECT_EQ(vn::crc32_accum(b.data(), -1), vn::crc32(a.data(), static_cast<int32_t>(a.size())));
  EXPECT_EQ(vn::crc32_accum(b.data(), static_cast<int32_t>(b.size())), whole);
}

TEST(Crc32, SetResumesFromSavedRegister) {
  const std::string a = "first range|";
  const std::string b = "second range";
  const std::string ab = a + b;

  vn::crc32_accum(nullptr, 0);
  const uint32_t saved = ~vn::crc32_accum(a.data(), static_cast<int32_t>(a.size()));
  vn::crc32_accum(nullptr, 0);
  vn::crc32_accum("something else", 14);

  EXPECT_EQ(vn::crc32_set(saved), saved);
  EXPECT_EQ(vn::crc32_accum(b.data(), static_cast<int32_t>(b.size())),
            vn::crc32(ab.data(), static_cast<int32_t>(ab.size())));
}

TEST(Crc32, PartsFoldedApartJoinToTheWhole) {
  std::vector<unsigned char> data(200000);
  uint32_t seed = 7;
  for (auto& byte : data) byte = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 24);
  const uint32_t whole = vn::crc32(data.data(), static_cast<int32_t>(data.size()));
  // Cuts at the ends, inside the first fold step and far in.
  for (const size_t cut : {size_t{0}, size_t{1}, size_t{63}, size_t{4097}, size_t{123457}, data.size()}) {
    const uint32_t first = vn::crc32_fold_from(0xFFFFFFFFu, data.data(), cut);
    const uint32_t second = vn::crc32_fold_from(0, data.data() + cut, data.size() - cut);
    EXPECT_EQ(~(vn::crc32_zeros(first, data.size() - cut) ^ second), whole) << "cut at " << cut;
  }
  EXPECT_EQ(vn::crc32_zeros(0x12345678u, 0), 0x12345678u);
  const unsigned char zeros[5] = {};
  EXPECT_EQ(vn::crc32_zeros(0x89abcdefu, 5), vn::crc32_fold_from(0x89abcdefu, zeros, 5));
}

TEST(Crc32, MonocaseAppliesTheMap) {
  const auto identity = identity_map();
  const std::string text = "Mixed Case \x01\xfe text";
  const auto len = static_cast<int32_t>(text.size());
  EXPECT_EQ(vn::crc32_monocase(identity.data(), text.data(), len), vn::crc32(text.data(), len));
  EXPECT_EQ(vn::crc32_monocase(identity.data(), "", 0), 0u);

  auto fold = identity;
  for (int c = 'A'; c <= 'Z'; ++c) fold[c] = static_cast<unsigned char>(c - 'A' + 'a');
  EXPECT_EQ(vn::crc32_monocase(fold.data(), "ReadMe.TXT", 10), vn::crc32("readme.txt", 10));
  EXPECT_NE(vn::crc32("ReadMe.TXT", 10), vn::crc32("readme.txt", 10));
}

}  // namespace
