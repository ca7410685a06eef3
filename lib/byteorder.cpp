// byteorder.cpp - fixed-width integers in byte buffers, most significant byte
// first, the tagged value encodings, and host/big-endian conversions.
//
// Everything goes byte by byte or through memcpy, so buffers need no
// particular alignment.
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

// Tag bytes of the tagged value encoding.
constexpr unsigned char kTagInt32 = 1;
constexpr unsigned char kTagList = 3;
constexpr unsigned char kTagId = 5;
constexpr unsigned char kTagInt64 = 16;

constexpr uint32_t kIdMask = 0x3FF;  // identifiers have 10 bits
constexpr int kInt32Bytes = 1 + 4;
constexpr int kInt64Bytes = 1 + 8;

bool host_is_little_endian() {
  const uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

uint32_t reverse_bytes32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

}  // namespace

void LPUT8(unsigned char* buf, uint32_t value) {
  buf[0] = static_cast<unsigned char>(value);
}

void LPUT16(unsigned char* buf, uint32_t value) {
  buf[0] = static_cast<unsigned char>(value >> 8);
  buf[1] = static_cast<unsigned char>(value);
}

void LPUT24(unsigned char* buf, uint32_t value) {
  buf[0] = static_cast<unsigned char>(value >> 16);
  buf[1] = static_cast<unsigned char>(value >> 8);
  buf[2] = static_cast<unsigned char>(value);
}

void LPUT32(unsigned char* buf, uint32_t value) {
  buf[0] = static_cast<unsigned char>(value >> 24);
  buf[1] = static_cast<unsigned char>(value >> 16);
  buf[2] = static_cast<unsigned char>(value >> 8);
  buf[3] = static_cast<unsigned char>(value);
}

// The low half comes first: that is the stored format, readers depend on it.
void LPUT64(unsigned char* buf, uint64_t value) {
  LPUT32(buf, static_cast<uint32_t>(value));
  LPUT32(buf + 4, static_cast<uint32_t>(value >> 32));
}

uint32_t LGET16(const unsigned char* buf) {
  return (static_cast<uint32_t>(buf[0]) << 8) | buf[1];
}

uint32_t LGET24(const unsigned char* buf) {
  return (static_cast<uint32_t>(buf[0]) << 16) | (static_cast<uint32_t>(buf[1]) << 8) | buf[2];
}

uint32_t LGET32(const unsigned char* buf) {
  return (static_cast<uint32_t>(buf[0]) << 24) | (static_cast<uint32_t>(buf[1]) << 16) |
         (static_cast<uint32_t>(buf[2]) << 8) | buf[3];
}

uint64_t LGET64(const unsigned char* buf) {
  return static_cast<uint64_t>(LGET32(buf)) | (static_cast<uint64_t>(LGET32(buf + 4)) << 32);
}

uint32_t LGET_OBJECT(const unsigned char* buf) { return LGET32(buf); }

void LPUT_PTR(unsigned char* buf, uint32_t value) { LPUT32(buf, value); }

uint32_t LGET_PTR(const unsigned char* buf) { return LGET32(buf); }

void LPUT_FLOAT(unsigned char* buf, double value) {
  static_assert(sizeof(double) == 8, "doubles are stored as 8 bytes");
  std::memcpy(buf, &value, sizeof value);
}

void LGET_FLOAT(const unsigned char* buf, double* value) {
  std::memcpy(value, buf, sizeof *value);
}

int LPUT_INTEGER(unsigned char* buf, int64_t value) {
  if (value >= 0 && value <= INT32_MAX) {
    buf[0] = kTagInt32;
    LPUT32(buf + 1, static_cast<uint32_t>(value));
    return kInt32Bytes;
  }
  buf[0] = kTagInt64;
  LPUT64(buf + 1, static_cast<uint64_t>(value));
  return kInt64Bytes;
}

// The tag fills the low six bits of the first byte, identifier bits 8-9 the
// top two.
void LPUT_ID(unsigned char* buf, uint32_t id) {
  id &= kIdMask;
  buf[0] = static_cast<unsigned char>(kTagId + ((id >> 8) << 6));
  buf[1] = static_cast<unsigned char>(id);
}

uint32_t LGET_ID(const unsigned char* buf) {
  return (static_cast<uint32_t>(buf[0] >> 6) << 8) | buf[1];
}

void LPUT_LIST(unsigned char* buf, uint32_t count) {
  buf[0] = kTagList;
  LPUT16(buf + 1, count);
}

uint32_t LGET_LIST(const unsigned char* buf) { return LGET16(buf + 1); }

int WGET16(int value) {
  const auto low16 = static_cast<uint32_t>(value) & 0xFFFFu;
  if (host_is_little_endian()) return static_cast<int>(((low16 & 0xFFu) << 8) | (low16 >> 8));
  return static_cast<int16_t>(low16);
}

uint32_t WGET32(uint32_t value) {
  return host_is_little_endian() ? reverse_bytes32(value) : value;
}

void swap_words(uint32_t* words, int count) {
  for (int i = 0; i < count; ++i) words[i] = WGET32(words[i]);
}

}  // namespace vn
