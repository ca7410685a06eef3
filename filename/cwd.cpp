// The cached working directory.
#include <unistd.h>

#include "vnlib.h"

namespace vn {

namespace {

constexpr size_t kCwdBufferSize = 1024;
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
