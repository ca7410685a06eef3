// Listing one directory for the globber: the next entry whose name matches a
// wildcard component (or, on request, that is a subdirectory).
#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

dstr wild_match_name = {nullptr, 0, 0};

namespace {

constexpr int32_t kMatchNameInitialSize = 64;
// Headroom added whenever the buffer grows, so that a run of similar names
// does not reallocate for each one.
constexpr size_t kMatchNameSlack = 32;

// Makes the match-name buffer able to hold length characters and the
// terminator. The buffer is created once and kept for later calls.
bool reserve_match_name(size_t length) {
  dstr& buffer = wild_match_name;
  if (buffer.dl_str == nullptr) {
    buffer.dl_str = static_cast<char*>(chk_alloc(kMatchNameInitialSize));
    if (buffer.dl_str == nullptr) return false;
    buffer.dl_size = kMatchNameInitialSize;
  }
  if (length + 1 < static_cast<size_t>(buffer.dl_size)) return true;
  size_t grown_size = length + kMatchNameSlack;
  if (grown_size > INT32_MAX) return false;
  auto* grown = static_cast<char*>(chk_realloc(buffer.dl_str, grown_size));
  if (grown == nullptr) return false;
  buffer.dl_str = grown;
  buffer.dl_size = static_cast<int32_t>(grown_size);
  return true;
}

// Puts text into the match-name buffer; false when it cannot be held.
bool set_match_name(const char* text) {
  size_t length = std::strlen(text);
  if (!reserve_match_name(length)) return false;
  std::memcpy(wild_match_name.dl_str, text, length + 1);
  wild_match_name.dl_len = static_cast<int32_t>(length);
  return true;
}

// Whether an entry that does not match may still qualify as a directory.
bool may_count_as_directory(const char* name, const char* component, int flags) {
  if (name[0] == '.' && ((flags & WILD_DOTFILES) == 0 || name[1] == '\0')) return false;
  return (flags & WILD_ALLDIRS) != 0 && std::strcmp(component, "*") != 0;
}

// Whether directory/name is a directory, following symbolic links. The path
// is built in the match-name buffer.
bool is_subdirectory(const char* directory, const char* name) {
  const char* delimiter = filename_delimiter();
  size_t length = std::strlen(directory) + std::strlen(delimiter) + std::strlen(name);
  if (!reserve_match_name(length)) return false;
  char* path = wild_match_name.dl_str;
  std::strcpy(path, directory);
  std::strcat(path, delimiter);
  std::strcat(path, name);
  struct stat status {};
  return stat(path, &status) == 0 && is_directory(status);
}

// Opens the base's directory on the first call; null when it is not a
// directory or cannot be opened.
DIR* open_base_directory(const char* directory, int flags) {
  struct stat status {};
  if (wild_stat(directory, &status, flags) == 0 && !is_directory(status)) return nullptr;
  return opendir(directory);
}

}  // namespace

char* wild_next_match(const glob_entry* base, const char* component, int flags, DIR** directory) {
  const char* path = base != nullptr ? skip_delimiter_run(base->ge_name) : ".";
  if (*directory == nullptr) {
    *directory = open_base_directory(path, flags);
    if (*directory == nullptr) return nullptr;
  }
  while (const dirent* entry = readdir(*directory)) {
    const char* name = entry->d_name;
    if (!set_match_name(name)) continue;
    if (wild_match(wild_match_name.dl_str, component, flags) == 1) return wild_match_name.dl_str;
    if (!may_count_as_directory(name, component, flags)) continue;
    if (is_subdirectory(path, name) && set_match_name(name)) return wild_match_name.dl_str;
  }
  closedir(*directory);
  *directory = nullptr;
  return nullptr;
}

}  // namespace vn
