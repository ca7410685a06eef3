// glob_internal.h - the working state of one glob_filenames call, shared by
// the files that build it; not part of the library's interface.
#ifndef VN_GLOB_INTERNAL_H
#define VN_GLOB_INTERNAL_H

#include <ctime>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

// The growing array of entries. Entries 0 .. count-1 are in use; an entry
// whose name is empty is blank (replaced by its expansions, or dropped).
struct glob_work {
  glob_entry* entries;
  int32_t count;
  int32_t capacity;
  bool wildcard_seen;
  // The current directory stands in as the base of the first component of a
  // relative pattern only; once a component has been expanded, no base left
  // means no result.
  bool first_component;
  // Memory ran out where a partial result would be wrong: no result at all.
  bool failed;
  bool has_deadline;
  time_t deadline;
};

inline bool is_blank(const glob_entry& entry) { return entry.ge_name[0] == '\0'; }

// Appends an entry owning name (ge_stat zero); false, with name untouched,
// when the array cannot grow.
bool glob_add(glob_work* work, char* name, int32_t size);
// Makes room for n more entries at once.
bool glob_reserve(glob_work* work, int32_t n);

// One component of the pattern; rest is what follows it (null at the end).
void glob_literal_component(glob_work* work, const char* component);
void glob_wildcard_component(glob_work* work, const char* component, int flags);
void glob_any_depth_component(glob_work* work, const char* rest, int flags);

// Status of every entry, the sort, and the type filter; returns the array
// the caller receives (work->entries, possibly moved).
glob_entry* glob_finish(glob_work* work, int flags);

}  // namespace vn

#endif  // VN_GLOB_INTERNAL_H
