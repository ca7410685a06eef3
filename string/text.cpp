// text.cpp - small string functions: lower-casing, an overlap-safe copy and
// removing one pair of double quotes.
#include <cstring>

#include "vnlib.h"

namespace vn {

void lower_case(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (ctype_is(*p, CTYPE_UPPER)) *p = static_cast<char>(*p + ('a' - 'A'));
  }
}

char* overlap_strcpy(char* dst, const char* src) {
  return static_cast<char*>(std::memmove(dst, src, std::strlen(src) + 1));
}

char* string_unquote(const char* text) {
  if (text == nullptr) return nullptr;
  if (*text == '"') ++text;
  char* copy = chk_strdup(text);
  if (copy == nullptr) return nullptr;
  const size_t length = std::strlen(copy);
  if (length > 0 && copy[length - 1] == '"') copy[length - 1] = '\0';
  return copy;
}

}  // namespace vn
