// dstr_append.cpp - the appends of the dynamic string: raw bytes, the tagged
// value encoding (big-endian) and escaped C text.
//
// Each append has its own "need" (the figure tested against dl_size) and
// "increment" (what growth adds to dl_size); stored data and callers' memory
// use depend on these exact figures.
#include <cstdio>
#include <cstring>

#include "dstr_internal.h"

namespace vn {

using namespace dstr_detail;

namespace {

// Tags of the tagged value encoding written here.
constexpr unsigned char kTagInt32 = 1;
constexpr unsigned char kTagNull = 4;
constexpr unsigned char kTagFloat = 10;
constexpr unsigned char kTagSmallInt = 14;
constexpr unsigned char kTagInt64 = 16;

constexpr int kSmallIntBytes = 2;
constexpr int kInt32Bytes = 5;
constexpr int kInt64Bytes = 9;
constexpr int kFloatBytes = 9;
constexpr int kPtrBytes = 5;
// Increments of the appends that do not use kIncrement.
constexpr int64_t kShortIncrement = 8;
constexpr int64_t kFloatIncrement = 73;

// Room for count bytes (need and increment as the append gives them), counted
// into dl_len at once; the caller fills them. Null when the record is empty.
unsigned char* append_bytes(dstr* dstr, int32_t need, int64_t increment, int32_t count) {
  unsigned char* at = make_room(dstr, need, increment);
  if (at != nullptr) dstr->dl_len += count;
  return at;
}

}  // namespace

int dstr_add_char(dstr* dstr, int ch) {
  if (unsigned char* at = append_bytes(dstr, 1, kIncrement, 1)) *at = static_cast<unsigned char>(ch);
  return ch;
}

void dstr_add_nchar(dstr* dstr, int ch, int32_t n) {
  if (n <= 0) return;
  if (unsigned char* at = append_bytes(dstr, n, int64_t{n} + kIncrement, n)) {
    std::memset(at, ch, static_cast<size_t>(n));
  }
}

char* dstr_add_mem(dstr* dstr, const void* source, int32_t n) {
  if (n < 0) return nullptr;
  unsigned char* at = append_bytes(dstr, n, int64_t{n} + dstr->dl_size / 10 + kIncrement, n);
  if (at != nullptr && n > 0) std::memcpy(at, source, static_cast<size_t>(n));
  return reinterpret_cast<char*>(at);
}

char* dstr_add_string(dstr* dstr, const void* source, int32_t n) {
  if (n < 0) return nullptr;
  unsigned char* at = append_bytes(dstr, n, int64_t{n} + kIncrement, n);
  if (at != nullptr && n > 0) std::memcpy(at, source, static_cast<size_t>(n));
  return reinterpret_cast<char*>(at);
}

void dstr_terminate(dstr* dstr) {
  if (unsigned char* at = append_bytes(dstr, 1, kShortIncrement, 1)) *at = 0;
}

// Needs 2 though it writes 1: the figure is part of the growth pattern.
void dstr_add_null(dstr* dstr) {
  if (unsigned char* at = append_bytes(dstr, 2, kShortIncrement, 1)) *at = kTagNull;
}

void dstr_add_id(dstr* dstr, uint32_t id) {
  if (unsigned char* at = append_bytes(dstr, 2, kIncrement, 2)) LPUT_ID(at, id);
}

void dstr_add_int16(dstr* dstr, int32_t value) {
  if (unsigned char* at = append_bytes(dstr, 2, kIncrement, 2)) LPUT16(at, static_cast<uint32_t>(value));
}

void dstr_add_int24(dstr* dstr, int32_t value) {
  if (unsigned char* at = append_bytes(dstr, 3, kIncrement, 3)) LPUT24(at, static_cast<uint32_t>(value));
}

void dstr_add_int32(dstr* dstr, int32_t value) {
  if (unsigned char* at = append_bytes(dstr, 4, kIncrement, 4)) LPUT32(at, static_cast<uint32_t>(value));
}

void dstr_add_int64(dstr* dstr, int64_t value) {
  if (unsigned char* at = append_bytes(dstr, 8, kShortIncrement, 8)) LPUT64(at, static_cast<uint64_t>(value));
}

// -127 ... 127 as tag and one two's-complement byte; -128 takes the long form.
int dstr_add_int(dstr* dstr, int32_t value) {
  const bool small = static_cast<uint32_t>(value) + 127u <= 254u;
  const int count = small ? kSmallIntBytes : kInt32Bytes;
  unsigned char* at = append_bytes(dstr, count, count + kIncrement, count);
  if (at == nullptr) return 0;
  at[0] = small ? kTagSmallInt : kTagInt32;
  if (small) {
    LPUT8(at + 1, static_cast<uint32_t>(value));
  } else {
    LPUT32(at + 1, static_cast<uint32_t>(value));
  }
  return count;
}

int dstr_add_integer(dstr* dstr, int64_t value) {
  if (value >= 0 && value <= INT32_MAX) return dstr_add_int(dstr, static_cast<int32_t>(value));
  unsigned char* at = append_bytes(dstr, kInt64Bytes, kInt64Bytes, kInt64Bytes);
  if (at == nullptr) return 0;
  at[0] = kTagInt64;
  LPUT64(at + 1, static_cast<uint64_t>(value));
  return kInt64Bytes;
}

void dstr_add_float(dstr* dstr, double value) {
  if (unsigned char* at = append_bytes(dstr, kFloatBytes, kFloatIncrement, kFloatBytes)) {
    at[0] = kTagFloat;
    LPUT_FLOAT(at + 1, value);
  }
}

void dstr_add_ptr(dstr* dstr, int tag, uint32_t value) {
  if (unsigned char* at = append_bytes(dstr, kPtrBytes, kIncrement, kPtrBytes)) {
    at[0] = static_cast<unsigned char>(tag);
    LPUT32(at + 1, value);
  }
}

namespace {

// Control characters with a one-letter escape, paired by position. The
// backslash never gets here: it is escaped as itself first.
constexpr char kEscapable[] = "\n\t\r\\\f\b";
constexpr char kEscapeLetters[] = "ntr\\fb";
constexpr int kNumericEscapeBytes = 4;  // "\\000" and "\\xhh"

void add_escaped_byte(dstr* dstr, signed char byte) {
  if (byte == '"' || byte == '\\') {
    dstr_add_char(dstr, '\\');
    dstr_add_char(dstr, byte);
  } else if (byte == 0) {
    dstr_add_mem(dstr, "\\000", kNumericEscapeBytes);
  } else if (const char* hit = std::strchr(kEscapable, byte)) {
    dstr_add_char(dstr, '\\');
    dstr_add_char(dstr, kEscapeLetters[hit - kEscapable]);
  } else if (byte < ' ') {
    char escape[kNumericEscapeBytes + 1];
    std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(byte));
    dstr_add_mem(dstr, escape, kNumericEscapeBytes);
  } else {
    dstr_add_char(dstr, byte);
  }
}

}  // namespace

void dstr_add_cstring(dstr* dstr, const void* source, int32_t n) {
  const auto* bytes = static_cast<const signed char*>(source);
  for (int32_t i = 0; i < n && dstr->dl_str != nullptr; ++i) add_escaped_byte(dstr, bytes[i]);
}

}  // namespace vn
