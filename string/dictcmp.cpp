// dictcmp.cpp - dictionary-order comparisons: texts that begin with a letter
// come first, then those that begin with a digit, then all others.
#include <strings.h>

#include "vnlib.h"

namespace vn {

namespace {

// -1 when only a has the class, 1 when only b has it, 0 otherwise.
int class_order(int a, int b, uint16_t classes) {
  const bool in_a = ctype_is(a, classes);
  const bool in_b = ctype_is(b, classes);
  if (in_a == in_b) return 0;
  return in_a ? -1 : 1;
}

// Lower-case letters to upper case; the value stays a signed byte.
int fold_upper(signed char ch) { return ctype_is(ch, CTYPE_LOWER) ? ch - ('a' - 'A') : ch; }

int compare_differing(int a, int b) {
  if (a == 0) return -1;
  if (b == 0) return 1;
  const bool both_letters = ctype_is(a, CTYPE_ALPHA) && ctype_is(b, CTYPE_ALPHA);
  const bool both_digits = ctype_is(a, CTYPE_DIGIT) && ctype_is(b, CTYPE_DIGIT);
  if (both_letters || both_digits) return a - b;
  if (const int order = class_order(a, b, CTYPE_ALPHA)) return order;
  return a - b;
}

}  // namespace

// Only the first characters are classified; within a class the order is the
// case-blind one of the C library.
int strdictcmp(const char* a, const char* b) {
  if (const int order = class_order(a[0], b[0], CTYPE_ALPHA)) return order;
  if (!ctype_is(a[0], CTYPE_ALPHA)) {
    if (const int order = class_order(a[0], b[0], CTYPE_DIGIT)) return order;
  }
  return strcasecmp(a, b);
}

// Character by character, classified at the first difference; bytes of 0x80
// and above count as negative.
int strndictcmp(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int fa = fold_upper(static_cast<signed char>(a[i]));
    const int fb = fold_upper(static_cast<signed char>(b[i]));
    if (fa != fb) return compare_differing(fa, fb);
    if (fa == 0) return 0;
  }
  return 0;
}

}  // namespace vn
