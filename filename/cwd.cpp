// The cached working directory.
#include <unistd.h>

#include <climits>

#include "vnlib.h"

namespace vn {

namespace {

// Room for any working directory the system can name: a smaller buffer
// would turn a deep but valid directory into kRemovedDirectory.
constexpr size_t kCwdBufferSize = PATH_MAX;
// Stands in for a working directory that the system can no longer name.
constexpr const char* kRemovedDirectory = "/DIRECTORY-REMOVED";

char* cwd_cache = nullptr;

}  // namespace

const char* get_cwd() {
  if (cwd_cache != nullptr && cwd_cache[0] != '\0') return cwd_cache;
  char buffer[kCwdBufferSize];
  const char* current = getcwd(buffer, sizeof buffer) != nullptr ? buffer : kRemovedDirectory;
  chk_free_safe(cwd_cache);
  cwd_cache = chk_strdup(current);
  if (cwd_cache == nullptr) return kRemovedDirectory;
  return filename_normalize(cwd_cache);
}

// Called after every chdir whose effect a later get_cwd must see.
void get_cwd_changed_directory() { chk_free_ptr(&cwd_cache); }

}  // namespace vn
