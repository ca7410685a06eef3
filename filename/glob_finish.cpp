// The last steps of a glob: the status of every path, the sort, and the type
// filter that keeps files, directories or both.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "glob_internal.h"

namespace vn {

namespace {

// A path that cannot be queried is dropped when the pattern had a wildcard
// (it was not found, only made up); a literal pattern keeps its path with a
// zero status. A file too large to describe still exists.
void query_status(glob_work* work, int flags) {
  for (int32_t i = 0; i < work->count; ++i) {
    glob_entry& entry = work->entries[i];
    std::memset(&entry.ge_stat, 0, sizeof entry.ge_stat);
    if (is_blank(entry) || wild_stat(entry.ge_name, &entry.ge_stat, flags) == 0) continue;
    if (work->wildcard_seen && errno != EFBIG) entry.ge_name[0] = '\0';
    std::memset(&entry.ge_stat, 0, sizeof entry.ge_stat);
  }
}

bool wanted(const glob_entry& entry, int flags) {
  if (is_directory(entry.ge_stat)) return (flags & WILD_DIRS) != 0;
  return (flags & WILD_FILES) != 0;
}

// Keeps the wanted entries, in order, with a leading run of delimiters
// reduced to one, and releases the others.
void keep_wanted(glob_work* work, int flags) {
  int32_t kept = 0;
  for (int32_t i = 0; i < work->count; ++i) {
    glob_entry& entry = work->entries[i];
    if (!is_blank(entry) && wanted(entry, flags)) {
      char* start = skip_delimiter_run(entry.ge_name);
      if (start != entry.ge_name) std::memmove(entry.ge_name, start, std::strlen(start) + 1);
      work->entries[kept++] = entry;
    } else {
      chk_free(entry.ge_name);
    }
  }
  work->count = kept;
}

void terminate(glob_work* work) { std::memset(&work->entries[work->count], 0, sizeof(glob_entry)); }

// Gives back the unused tail of the array; keeps it when that fails.
void shrink_to_fit(glob_work* work) {
  size_t bytes = (static_cast<size_t>(work->count) + 1) * sizeof(glob_entry);
  auto* shrunk = static_cast<glob_entry*>(chk_realloc(work->entries, bytes));
  if (shrunk != nullptr) work->entries = shrunk;
}

}  // namespace

glob_entry* glob_finish(glob_work* work, int flags) {
  terminate(work);
  query_status(work, flags);
  wild_sort_flags = flags;
  if ((flags & WILD_NOSORT) == 0) vn::qsort(work->entries, static_cast<size_t>(work->count), sizeof(glob_entry), wild_compare);
  if (!work->wildcard_seen) return work->entries;
  keep_wanted(work, flags);
  terminate(work);
  shrink_to_fit(work);
  return work->entries;
}

}  // namespace vn
