#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "vnlib.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const unsigned char* buf, size_t n) { return Bytes(buf, buf + n); }

constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

TEST(ByteOrder, FixedWidthEncodersWriteMostSignificantFirst) {
  unsigned char buf[8] = {};
  vn::LPUT8(buf, 0x1234);
  EXPECT_EQ(buf[0], 0x34);
  vn::LPUT16(buf, 0xABCD1234u);
  EXPECT_EQ(bytes_of(buf, 2), (Bytes{0x12, 0x34}));
  vn::LPUT24(buf, 0xAB123456u);
  EXPECT_EQ(bytes_of(buf, 3), (Bytes{0x12, 0x34, 0x56}));
  vn::LPUT32(buf, 0x89ABCDEFu);
  EXPECT_EQ(bytes_of(buf, 4), (Bytes{0x89, 0xAB, 0xCD, 0xEF}));
  vn::LPUT_PTR(buf, 0x01020304u);
  EXPECT_EQ(bytes_of(buf, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));

  // Encoders touch only their own bytes.
  unsigned char guarded[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  vn::LPUT24(guarded + 1, 0);
  EXPECT_EQ(bytes_of(guarded, 6), (Bytes{0xEE, 0, 0, 0, 0xEE, 0xEE}));
}

TEST(ByteOrder, DecodersNeverSignExtend) {
  const unsigned char ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(vn::LGET16(ones), 65535u);
  EXPECT_EQ(vn::LGET24(ones), 16777215u);
  EXPECT_EQ(vn::LGET32(ones), 0xFFFFFFFFu);
  const unsigned char mixed[4] = {0x80, 0x01, 0xFE, 0x7F};
  EXPECT_EQ(vn::LGET16(mixed), 0x8001u);
  EXPECT_EQ(vn::LGET24(mixed), 0x8001FEu);
  EXPECT_EQ(vn::LGET32(mixed), 0x8001FE7Fu);
  EXPECT_EQ(vn::LGET_OBJECT(mixed), 0x8001FE7Fu);
  EXPECT_EQ(vn::LGET_PTR(mixed), 0x8001FE7Fu);
}

TEST(ByteOrder, SixtyFourBitsStoreLowHalfFirst) {
  unsigned char buf[9] = {};
  const uint64_t value = 0x0102030405060708ull;
  vn::LPUT64(buf + 1, value);  // deliberately misaligned
  EXPECT_EQ(bytes_of(buf + 1, 8), (Bytes{0x05, 0x06, 0x07, 0x08, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(vn::LGET64(buf + 1), value);
  vn::LPUT64(buf, 0xFFFFFFFF00000001ull);
  EXPECT_EQ(vn::LGET64(buf), 0xFFFFFFFF00000001ull);
}

TEST(ByteOrder, FloatsKeepHostBytes) {
  unsigned char buf[9] = {};
  const double value = -1234.5678e-9;
  vn::LPUT_FLOAT(buf + 1, value);
  EXPECT_EQ(std::memcmp(buf + 1, &value, 8), 0);
  double back = 0;
  vn::LGET_FLOAT(buf + 1, &back);
  EXPECT_EQ(std::memcmp(&back, &value, 8), 0);
}

TEST(ByteOrder, IntegerTagPicksWidth) {
  unsigned char buf[9] = {};
  EXPECT_EQ(vn::LPUT_INTEGER(buf, 0), 5);
  EXPECT_EQ(bytes_of(buf, 5), (Bytes{1, 0, 0, 0, 0}));
  EXPECT_EQ(vn::LPUT_INTEGER(buf, 0x7FFFFFFF), 5);
  EXPECT_EQ(bytes_of(buf, 5), (Bytes{1, 0x7F, 0xFF, 0xFF, 0xFF}));

  EXPECT_EQ(vn::LPUT_INTEGER(buf, 0x80000000LL), 9);
  EXPECT_EQ(bytes_of(buf, 9), (Bytes{16, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(vn::LPUT_INTEGER(buf, -1), 9);
  EXPECT_EQ(bytes_of(buf, 9), (Bytes{16, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(vn::LPUT_INTEGER(buf, INT64_MIN), 9);
  EXPECT_EQ(static_cast<int64_t>(vn::LGET64(buf + 1)), INT64_MIN);
  EXPECT_EQ(vn::LPUT_INTEGER(buf, 0x100000000LL), 9);  // high half set, bit 31 clear
  EXPECT_EQ(vn::LGET64(buf + 1), 0x100000000ull);
}

TEST(ByteOrder, IdentifierAndListTags) {
  unsigned char buf[3] = {};
  vn::LPUT_ID(buf, 1023);
  EXPECT_EQ(bytes_of(buf, 2), (Bytes{0xC5, 0xFF}));
  EXPECT_EQ(vn::LGET_ID(buf), 1023u);
  vn::LPUT_ID(buf, 0x123);
  EXPECT_EQ(bytes_of(buf, 2), (Bytes{0x45, 0x23}));
  EXPECT_EQ(vn::LGET_ID(buf), 0x123u);
  vn::LPUT_ID(buf, 0x400 | 7);  // bits above 9 are dropped, not spilled into the tag
  EXPECT_EQ(bytes_of(buf, 2), (Bytes{0x05, 0x07}));
  const unsigned char other_tag[2] = {0xBF, 0x10};  // low six bits are not looked at
  EXPECT_EQ(vn::LGET_ID(other_tag), 0x210u);

  vn::LPUT_LIST(buf, 0x1FFFE);
  EXPECT_EQ(bytes_of(buf, 3), (Bytes{3, 0xFF, 0xFE}));
  EXPECT_EQ(vn::LGET_LIST(buf), 0xFFFEu);
  const unsigned char any_tag[3] = {0x99, 0x00, 0x2A};
  EXPECT_EQ(vn::LGET_LIST(any_tag), 42u);
}

TEST(ByteOrder, HostConversions) {
  const uint32_t word = 0x11223344u;
  unsigned char mem[4];
  std::memcpy(mem, &word, 4);
  EXPECT_EQ(vn::WGET32(word), vn::LGET32(mem));  // memory order read as big-endian
  EXPECT_EQ(vn::WGET32(vn::WGET32(word)), word);

  if (kLittleEndianHost) {
    EXPECT_EQ(vn::WGET32(word), 0x44332211u);
    EXPECT_EQ(vn::WGET16(0x1234), 0x3412);
    EXPECT_EQ(vn::WGET16(0x7FFF1280), 0x8012);  // upper bits dropped, no sign
    EXPECT_EQ(vn::WGET16(-1), 0xFFFF);
  } else {
    EXPECT_EQ(vn::WGET32(word), word);
    EXPECT_EQ(vn::WGET16(0x1234), 0x1234);
    EXPECT_EQ(vn::WGET16(0xFFFF), -1);
  }
  EXPECT_EQ(vn::WGET16(vn::WGET16(0xABCD1234)) & 0xFFFF, 0x1234);

  uint32_t words[3] = {0x01020304u, 0xA0B0C0D0u, 0x55667788u};
  vn::swap_words(words, 2);
  EXPECT_EQ(words[0], vn::WGET32(0x01020304u));
  EXPECT_EQ(words[1], vn::WGET32(0xA0B0C0D0u));
  EXPECT_EQ(words[2], 0x55667788u);
  vn::swap_words(words, 0);
  vn::swap_words(words, -3);
  EXPECT_EQ(words[0], vn::WGET32(0x01020304u));
}

}  // namespace
