// TEMPORARY stand-in for the library's simplify_and_expand_filename, until
// the file-name simplification lands: strips an outer quote pair, expands a
// leading "~" and makes a relative name absolute. No globbing, no folding
// of "." and "..".
#include <cstring>

#include "simplify_standin.h"
#include "vnlib.h"

namespace vn {

char* simplify_and_expand_filename(const char* text) {
  if (text[0] == '\0' || text[0] == '|' || text[0] == '!') return chk_strdup(text);
  char* copy = nullptr;
  if (text[0] == '"' || text[0] == '\'') {
    copy = chk_strdup(text + 1);
    const size_t n = copy != nullptr ? std::strlen(copy) : 0;
    if (n > 0 && copy[n - 1] == text[0]) copy[n - 1] = '\0';
  } else {
    copy = chk_strdup(text);
  }
  if (copy == nullptr || is_absolute(copy)) return copy;
  char* result = copy[0] == '~' ? tilde_expand(copy) : filename_append_filename(get_cwd(), copy);
  chk_free(copy);
  return result;
}

}  // namespace vn
