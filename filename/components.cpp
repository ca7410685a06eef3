// Splitting a name into directory, base and extension. The scans return
// pointers into the argument; dirname and its relatives return new strings.
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

bool is_delim(char ch) { return filename_is_delim(static_cast<unsigned char>(ch)) != 0; }

// The non-const flavours share the const scans; the result points into the
// caller's writable text, so dropping const again is sound.
char* writable(char* base, const char* found) {
  return found != nullptr ? base + (found - base) : nullptr;
}

}  // namespace

char* copy_prefix(const char* text, size_t length) {
  char* result = static_cast<char*>(chk_alloc(length + 1));
  if (result == nullptr) return nullptr;
  std::memcpy(result, text, length);
  result[length] = '\0';
  return result;
}

const char* filename_first_component(const char* name) {
  return filename_nth_first_component(name, 1);
}
char* filename_first_component(char* name) {
  return writable(name, filename_first_component(static_cast<const char*>(name)));
}

const char* filename_last_component(const char* name) {
  return filename_nth_last_component(name, 1);
}
char* filename_last_component(char* name) {
  return writable(name, filename_last_component(static_cast<const char*>(name)));
}

const char* filename_nth_first_component(const char* name, int n) {
  if (name == nullptr) return nullptr;
  if (n < 1) n = 1;
  for (const char* p = name; *p != '\0'; ++p) {
    if (is_delim(*p) && --n == 0) return p;
  }
  return nullptr;
}
char* filename_nth_first_component(char* name, int n) {
  return writable(name, filename_nth_first_component(static_cast<const char*>(name), n));
}

const char* filename_nth_last_component(const char* name, int n) {
  if (name == nullptr) return nullptr;
  if (n < 1) n = 1;
  for (size_t i = std::strlen(name); i > 0; --i) {
    if (is_delim(name[i - 1]) && --n == 0) return name + i - 1;
  }
  return nullptr;
}
char* filename_nth_last_component(char* name, int n) {
  return writable(name, filename_nth_last_component(static_cast<const char*>(name), n));
}

// The text after the last "." of the final component; "file." gives "" and
// ".profile" gives "profile".
const char* filename_extension(const char* name) {
  if (name == nullptr) return nullptr;
  for (size_t i = std::strlen(name); i > 0; --i) {
    char ch = name[i - 1];
    if (ch == '.') return name + i;
    if (is_delim(ch)) return nullptr;
  }
  return nullptr;
}
char* filename_extension(char* name) {
  return writable(name, filename_extension(static_cast<const char*>(name)));
}

// The last "." of the base name, the dot included.
const char* file_extension(const char* name) {
  if (name == nullptr) return nullptr;
  return std::strrchr(basename(name), '.');
}
char* file_extension(char* name) {
  return writable(name, file_extension(static_cast<const char*>(name)));
}

// Everything after the last delimiter: "a/b" gives "b", "a/b/" and "/" give
// "", "/x" gives "x"; a name without a delimiter is its own base name.
const char* basename(const char* name) {
  if (name == nullptr) return nullptr;
  const char* last = filename_last_component(name);
  return last != nullptr ? last + 1 : name;
}
char* basename(char* name) {
  return writable(name, basename(static_cast<const char*>(name)));
}

const char* filename_basename(const char* name) { return basename(name); }
char* filename_basename(char* name) { return basename(name); }

// The name cut at its last delimiter: "a/b/c" gives "a/b", "a/b/" gives
// "a/b", "/x" gives "/", "x" gives ".".
char* dirname(const char* name) {
  const char* last = filename_last_component(name);
  if (last == nullptr) return chk_strdup(".");
  if (last == name) return copy_prefix(name, 1);
  return copy_prefix(name, static_cast<size_t>(last - name));
}

char* filename_dirname(const char* name) { return dirname(name); }

// The name less its last n components. Each pass walks back to the next
// delimiter; a delimiter at the starting position (a trailing "/") counts as
// the first pass's. A relative name that runs out of delimiters gives ".",
// an absolute one stops at the root "/". Removing no components (n < 1)
// gives a copy of the name.
char* filename_dirname2(const char* name, int n) {
  if (name == nullptr || name[0] == '\0') return chk_strdup(".");
  if (n < 1) return chk_strdup(name);
  size_t pos = std::strlen(name) - 1;
  for (int pass = 1;; ++pass) {
    while (pos > 0 && !is_delim(name[pos])) --pos;
    if (pos == 0) return is_delim(name[0]) ? copy_prefix(name, 1) : chk_strdup(".");
    if (pass == n) return copy_prefix(name, pos);
    --pos;
  }
}

}  // namespace vn
