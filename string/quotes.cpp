// Double-quote normalisation of a text that may hold quoted parts.
#include <cstring>

#include "vnlib.h"

namespace vn {

// Removes every double quote. A text that had quotes and holds a space comes
// back enclosed in one pair of quotes, so that it still reads as one word.
char* string_normalize_quotes(const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text);
  bool has_quote = std::memchr(text, '"', length) != nullptr;
  bool has_space = std::memchr(text, ' ', length) != nullptr;
  bool enclose = has_quote && has_space;

  char* result = static_cast<char*>(chk_alloc(length + (enclose ? 3 : 1)));
  if (result == nullptr) return nullptr;
  char* out = result;
  if (enclose) *out++ = '"';
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '"') *out++ = *p;
  }
  if (enclose) *out++ = '"';
  *out = '\0';
  return result;
}

}  // namespace vn
