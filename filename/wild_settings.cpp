// Process-wide settings of the globber and the small helpers that the
// globber and the shell-style expansion share: status queries, the sort
// order of results, and the leading-delimiter skip.
#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

constexpr int32_t kDefaultTimeoutSeconds = 30;
constexpr int32_t kDefaultMaxCount = 5000;

void read_setting(const char* variable, int32_t* setting) {
  const char* value = std::getenv(variable);
  if (value != nullptr) *setting = std::atoi(value);
}

}  // namespace

int32_t wild_limit_timeout = kDefaultTimeoutSeconds;
int32_t wild_limit_max_count = kDefaultMaxCount;
int32_t wild_lstat = 0;
int32_t shell_error = 0;
int32_t wild_sort_flags = 0;

void wild_init() {
  read_setting("VN_WILD_LIMIT_TIMEOUT", &wild_limit_timeout);
  read_setting("VN_WILD_LIMIT_MAX_COUNT", &wild_limit_max_count);
}

int wild_stat(const char* path, struct stat* status, int flags) {
  if (wild_lstat != 0 || (flags & WILD_LSTAT) != 0) return lstat(path, status);
  return stat(path, status);
}

int wild_compare(const void* a, const void* b) {
  const auto* left = static_cast<const glob_entry*>(a);
  const auto* right = static_cast<const glob_entry*>(b);
  if ((wild_sort_flags & WILD_SORT_DIRS_FIRST) != 0) {
    bool left_dir = is_directory(left->ge_stat);
    bool right_dir = is_directory(right->ge_stat);
    if (left_dir != right_dir) return left_dir ? -1 : 1;
  }
  if ((wild_sort_flags & WILD_SORT_NOCASE) != 0) return strcasecmp(left->ge_name, right->ge_name);
  return std::strcmp(left->ge_name, right->ge_name);
}

const char* skip_delimiter_run(const char* name) {
  while (is_delim_char(name[0]) && is_delim_char(name[1])) ++name;
  return name;
}

char* skip_delimiter_run(char* name) {
  return name + (skip_delimiter_run(static_cast<const char*>(name)) - name);
}

}  // namespace vn
