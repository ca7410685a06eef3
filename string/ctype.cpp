// ctype.cpp - the character-class table every class test of the library uses
// instead of the C library's locale-dependent classification. Bytes 0x80 to
// 0xFF belong to no class.
#include "vnlib.h"

namespace vn {

namespace {

constexpr bool in(int ch, int first, int last) { return ch >= first && ch <= last; }

constexpr uint16_t classes_of(int ch) {
  const bool upper = in(ch, 'A', 'Z');
  const bool lower = in(ch, 'a', 'z');
  const bool digit = in(ch, '0', '9');
  const bool graphic = in(ch, 0x21, 0x7E);
  uint16_t bits = 0;
  if (upper || lower) bits |= CTYPE_ALPHA;
  if (in(ch, 0x00, 0x7F)) bits |= CTYPE_ASCII;
  if (digit) bits |= CTYPE_DIGIT;
  if (upper) bits |= CTYPE_UPPER;
  if (lower) bits |= CTYPE_LOWER;
  if (digit || in(ch, 'A', 'F') || in(ch, 'a', 'f')) bits |= CTYPE_XDIGIT;
  if (ch == '\t' || ch == ' ') bits |= CTYPE_BLANK;
  if (graphic) bits |= CTYPE_GRAPH;
  if (in(ch, 0x20, 0x7E)) bits |= CTYPE_PRINT;
  if (in(ch, 0x09, 0x0D) || ch == ' ') bits |= CTYPE_SPACE;
  if (graphic && !upper && !lower && !digit) bits |= CTYPE_PUNCT;
  return bits;
}

}  // namespace

#define VN_CTYPE_4(n) classes_of(n), classes_of((n) + 1), classes_of((n) + 2), classes_of((n) + 3)
#define VN_CTYPE_16(n) VN_CTYPE_4(n), VN_CTYPE_4((n) + 4), VN_CTYPE_4((n) + 8), VN_CTYPE_4((n) + 12)
#define VN_CTYPE_64(n) VN_CTYPE_16(n), VN_CTYPE_16((n) + 16), VN_CTYPE_16((n) + 32), VN_CTYPE_16((n) + 48)

// Computed by the compiler: the table is constant data.
constinit const uint16_t ctype_array[256] = {VN_CTYPE_64(0x00), VN_CTYPE_64(0x40),
                                             VN_CTYPE_64(0x80), VN_CTYPE_64(0xC0)};

#undef VN_CTYPE_64
#undef VN_CTYPE_16
#undef VN_CTYPE_4

}  // namespace vn
