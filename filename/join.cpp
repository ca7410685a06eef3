// Joining a directory and a name.
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

bool ends_with_separator(const char* dir, size_t length) {
  char last = dir[length - 1];
  return last == '/' || last == '\\';
}

}  // namespace

// An absolute name, or one joined to an empty directory, stands alone; an
// empty name leaves the directory. Otherwise the two are joined by the
// delimiter (unless the directory already ends in one), and the quotes of
// the joined text are normalised so that a quoted part of either half ends
// up as one quoted name.
char* filename_append_filename(const char* dir, const char* name) {
  if (dir == nullptr) dir = "";
  if (name == nullptr) name = "";
  char* result;
  if (is_absolute(name) || dir[0] == '\0') {
    result = chk_strdup(name);
  } else if (name[0] == '\0') {
    result = chk_strdup(dir);
  } else {
    size_t dir_length = std::strlen(dir);
    const char* delimiter = ends_with_separator(dir, dir_length) ? "" : wild_filename_delimiter;
    char* joined = chk_makestr(dir, delimiter, name, nullptr);
    if (joined == nullptr) return nullptr;
    result = string_normalize_quotes(joined);
    chk_free(joined);
  }
  return result != nullptr ? forwardslash_to_back(result) : nullptr;
}

}  // namespace vn
