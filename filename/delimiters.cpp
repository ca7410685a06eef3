// File-name conventions of this system: "/" delimits, names beginning with
// "/" are absolute, search lists are split at ":". The drive, UNC, case and
// slash hooks are the points where other systems inspect or convert a name;
// here they leave the name alone.
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

// Characters that count as delimiters in component scans.
constexpr const char* kDelimiterSet = "/";
constexpr const char* kPathListSeparator = ":";

int monocase_flag = 0;

}  // namespace

const char* wild_filename_delimiter = "/";

int filename_is_delim(int ch) {
  // strchr would also match the terminator, so NUL is ruled out first.
  return ch != '\0' && std::strchr(kDelimiterSet, ch) != nullptr ? 1 : 0;
}

int is_absolute(const char* name) {
  return name != nullptr && filename_is_delim(static_cast<unsigned char>(name[0]));
}

int is_unc_filename(const char*) { return 0; }

const char* filename_delimiter() { return wild_filename_delimiter; }

const char* filename_path_delimiter() { return kPathListSeparator; }

int filename_get_drive(const char*) { return 0; }

const char* filename_skip_drive(const char* name) { return name; }
char* filename_skip_drive(char* name) { return name; }

const char* filename_skip_unc(const char* name) { return name; }
char* filename_skip_unc(char* name) { return name; }

char* filename_normalize(char* name) { return name; }

char* forwardslash_to_back(char* name) { return name; }
char* backslash_to_fwd(char* name) { return name; }

void monocase_filename(char*) {}

int filename_monocase_enable(int n) {
  if (n >= 0) monocase_flag = n;
  return monocase_flag;
}

// File names on this system are case-sensitive whatever the monocase flag.
int filename_strcmp(const char* a, const char* b) { return std::strcmp(a, b); }

char* filename_long_to_short(const char* name) {
  return name != nullptr ? chk_strdup(name) : nullptr;
}

char* filename_short_to_long(const char* name) {
  return name != nullptr ? chk_strdup(name) : nullptr;
}

}  // namespace vn
