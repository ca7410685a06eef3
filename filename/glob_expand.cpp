// The three kinds of pattern component: a literal name appended to every
// path found so far, a wildcard matched against the entries of each path's
// directory, and "**", which stands for every directory below each path.
#include <dirent.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "filename_internal.h"
#include "glob_internal.h"

namespace vn {

namespace {

// Spare room kept behind a literal component appended to a name, and the
// granularity of such buffers.
constexpr size_t kAppendSlack = 35;
constexpr size_t kAppendGranule = 32;
// Room kept behind a name matched in the current directory.
constexpr size_t kMatchSlack = 10;

bool grow_to(glob_work* work, int64_t capacity) {
  if (capacity > INT32_MAX / 2) return false;
  size_t bytes = static_cast<size_t>(capacity) * sizeof(glob_entry);
  auto* grown = static_cast<glob_entry*>(chk_realloc(work->entries, bytes));
  if (grown == nullptr) return false;
  work->entries = grown;
  work->capacity = static_cast<int32_t>(capacity);
  return true;
}

// Appends the delimiter (unless the name ends in one) and the component,
// growing the name's buffer when needed. A name that cannot grow is dropped.
void append_component(glob_entry* entry, const char* component, size_t component_length) {
  const char* delimiter = filename_delimiter();
  size_t length = std::strlen(entry->ge_name);
  size_t needed = length + std::strlen(delimiter) + component_length + 1;
  size_t size = static_cast<size_t>(entry->ge_size);
  if (length + component_length + 2 >= size || needed > size) {
    size_t new_size = (component_length + size + kAppendSlack) & ~(kAppendGranule - 1);
    if (new_size < needed) new_size = needed;
    auto* grown = new_size <= INT32_MAX ? static_cast<char*>(chk_realloc(entry->ge_name, new_size)) : nullptr;
    if (grown == nullptr) {
      entry->ge_name[0] = '\0';
      return;
    }
    entry->ge_name = grown;
    entry->ge_size = static_cast<int32_t>(new_size);
  }
  char* end = entry->ge_name + length;
  if (length == 0 || !is_delim_char(end[-1])) {
    std::strcpy(end, delimiter);
    end += std::strlen(delimiter);
  }
  std::memcpy(end, component, component_length + 1);
}

// The base's name joined with a matched name, or a copy of the match when
// there is no base (the current directory). Null when memory runs out.
char* matched_path(const glob_work* work, int32_t base, const char* name, int32_t* size) {
  if (base >= 0) {
    char* path = filename_append_filename(work->entries[base].ge_name, name);
    if (path != nullptr) *size = static_cast<int32_t>(std::strlen(path));
    return path;
  }
  size_t length = std::strlen(name);
  auto* path = static_cast<char*>(chk_alloc(length + kMatchSlack));
  if (path == nullptr) return nullptr;
  std::memcpy(path, name, length + 1);
  *size = static_cast<int32_t>(length + kMatchSlack);
  return path;
}

bool add_match(glob_work* work, int32_t base, const char* name) {
  int32_t size = 0;
  char* path = matched_path(work, base, name, &size);
  if (path == nullptr) return false;
  if (glob_add(work, path, size)) return true;
  chk_free(path);
  return false;
}

// Checked after every added name; added counts this component's names.
bool limit_reached(const glob_work* work, int32_t* added) {
  if (wild_limit_max_count != 0 && ++*added > wild_limit_max_count) {
    trace_log("wild: limit_max_count reached %d\n", wild_limit_max_count);
    return true;
  }
  // Reading the clock for every entry would dominate a large directory.
  if (work->has_deadline && work->count % 4 == 0 && std::time(nullptr) > work->deadline) {
    trace_log("wild: limit_timeout reached %d\n", wild_limit_timeout);
    return true;
  }
  return false;
}

// Adds the matches in the directory of entry base (-1: the current
// directory) and blanks the base, which its matches replace. False when a
// limit, or exhausted memory, stopped the component; the base then stays.
bool expand_base(glob_work* work, int32_t base, const char* component, int flags, int32_t* added) {
  DIR* directory = nullptr;
  for (;;) {
    const glob_entry* base_entry = base >= 0 ? &work->entries[base] : nullptr;
    const char* name = wild_next_match(base_entry, component, flags, &directory);
    if (name == nullptr) break;
    if (!add_match(work, base, name) || limit_reached(work, added)) {
      if (directory != nullptr) closedir(directory);
      return false;
    }
  }
  if (base >= 0) work->entries[base].ge_name[0] = '\0';
  return true;
}

// Adds every directory below entry base (-1: the current directory). The
// base stays, so "**" also stands for no directory at all.
void collect_below(glob_work* work, int32_t base, const char* rest, int flags) {
  dstr list{};
  if (dstr_init(&list, 32) == nullptr) return;
  const char* directory = base >= 0 ? skip_delimiter_run(work->entries[base].ge_name) : ".";
  wild_walk_tree(&list, directory, flags, 0, rest);
  auto** paths = reinterpret_cast<char**>(list.dl_str);
  int32_t found = list.dl_str != nullptr ? list.dl_len / static_cast<int32_t>(sizeof(char*)) : 0;
  bool room = found > 0 && glob_reserve(work, found);
  for (int32_t i = 0; i < found; ++i) {
    char* path = paths[i];
    if (room && base >= 0) {
      // The collected paths are absolute, so the join gives a copy.
      path = filename_append_filename(work->entries[base].ge_name, paths[i]);
      chk_free(paths[i]);
    }
    if (!room) {
      chk_free(path);
    } else if (path != nullptr && !glob_add(work, path, static_cast<int32_t>(std::strlen(path)))) {
      chk_free(path);
    }
  }
  dstr_free(&list);
}

}  // namespace

bool glob_reserve(glob_work* work, int32_t n) {
  if (work->count + static_cast<int64_t>(n) < work->capacity - 2) return true;
  int64_t capacity = static_cast<int64_t>(work->capacity) + n;
  if (capacity < work->count + static_cast<int64_t>(n) + 3) capacity = work->count + static_cast<int64_t>(n) + 3;
  return grow_to(work, capacity);
}

bool glob_add(glob_work* work, char* name, int32_t size) {
  if (work->count >= work->capacity - 2 && !grow_to(work, static_cast<int64_t>(work->capacity) * 2)) return false;
  glob_entry& entry = work->entries[work->count++];
  std::memset(&entry, 0, sizeof entry);
  entry.ge_name = name;
  entry.ge_size = size;
  return true;
}

void glob_literal_component(glob_work* work, const char* component) {
  size_t length = std::strlen(component);
  if (work->count == 0) {
    if (!work->first_component) return;
    char* name = copy_prefix(component, length);
    if (name == nullptr || !glob_add(work, name, static_cast<int32_t>(length + 1))) {
      chk_free_safe(name);
      work->failed = true;
    }
    return;
  }
  for (int32_t i = 0; i < work->count; ++i) {
    if (!is_blank(work->entries[i])) append_component(&work->entries[i], component, length);
  }
}

void glob_wildcard_component(glob_work* work, const char* component, int flags) {
  int32_t bases = work->count;
  int32_t added = 0;
  if (bases == 0) {
    if (work->first_component) expand_base(work, -1, component, flags, &added);
    return;
  }
  for (int32_t i = 0; i < bases; ++i) {
    if (!is_blank(work->entries[i]) && !expand_base(work, i, component, flags, &added)) return;
  }
}

void glob_any_depth_component(glob_work* work, const char* rest, int flags) {
  int32_t bases = work->count;
  if (bases == 0) {
    if (work->first_component) collect_below(work, -1, rest, flags);
    return;
  }
  for (int32_t i = 0; i < bases; ++i) {
    if (!is_blank(work->entries[i])) collect_below(work, i, rest, flags);
  }
}

}  // namespace vn
