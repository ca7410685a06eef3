// Turning a path pattern into the list of existing paths that it names. The
// pattern is cut into components at the delimiters; each component either
// extends every path found so far (a literal name), replaces each path by the
// matching entries of its directory (a wildcard), or adds every directory
// below it ("**"). The result is queried, sorted and filtered by type.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "filename_internal.h"
#include "glob_internal.h"

namespace vn {

namespace {

constexpr int32_t kInitialEntries = 128;
// Room kept behind the leading part of an absolute pattern.
constexpr size_t kLeadingSlack = 16;

bool is_command(const char* pattern) { return pattern[0] == '|' || pattern[0] == '!'; }

// A command is passed on as it is: one entry, no status, no sorting.
glob_entry* command_result(const char* pattern) {
  auto* result = static_cast<glob_entry*>(chk_calloc(2, sizeof(glob_entry)));
  if (result == nullptr) return nullptr;
  result[0].ge_name = chk_strdup(pattern);
  if (result[0].ge_name != nullptr) return result;
  chk_free(result);
  return nullptr;
}

void release_entries(glob_work* work) {
  for (int32_t i = 0; i < work->count; ++i) chk_free(work->entries[i].ge_name);
  chk_free(work->entries);
}

// Makes the first entry from the leading part of the pattern (a prefix the
// system reserves, or the root) and returns where the components begin.
const char* take_leading_part(glob_work* work, const char* pattern) {
  const char* after_prefix = filename_skip_unc(pattern);
  size_t length = static_cast<size_t>(after_prefix - pattern);
  const char* text = pattern;
  if (length == 0) {
    if (!is_delim_char(pattern[0])) return pattern;
    text = filename_delimiter();
    length = std::strlen(text);
    after_prefix = pattern + 1;
  }
  size_t size = length + kLeadingSlack;
  auto* name = static_cast<char*>(chk_alloc(size));
  if (name == nullptr || !glob_add(work, name, static_cast<int32_t>(size))) {
    chk_free_safe(name);
    work->failed = true;
    return after_prefix;
  }
  std::memcpy(name, text, length);
  name[length] = '\0';
  return after_prefix;
}

// "$NAME" stands for the value of a set environment variable.
const char* substitute_variable(const char* component) {
  if (component[0] != '$' || component[1] == '\0') return component;
  const char* value = std::getenv(component + 1);
  return value != nullptr ? value : component;
}

void expand_component(glob_work* work, const char* component, const char* rest, int flags) {
  const char* text = substitute_variable(component);
  if (std::strpbrk(text, "*?[") == nullptr) {
    glob_literal_component(work, text);
    return;
  }
  work->wildcard_seen = true;
  if (std::strcmp(text, "**") == 0) {
    glob_any_depth_component(work, rest, flags);
  } else {
    glob_wildcard_component(work, text, flags);
  }
}

// Each component runs up to the next delimiter; exactly one delimiter is
// skipped after it, so "a//b" holds an empty component and "a/" none after
// "a".
void expand_components(glob_work* work, const char* pattern, int flags) {
  const char* start = pattern;
  while (*start != '\0' && !work->failed) {
    const char* end = start;
    while (*end != '\0' && !is_delim_char(*end)) ++end;
    const char* next = *end != '\0' ? end + 1 : end;
    char* component = copy_prefix(start, static_cast<size_t>(end - start));
    if (component == nullptr) {
      work->failed = true;
      return;
    }
    expand_component(work, component, *next != '\0' ? next : nullptr, flags);
    chk_free(component);
    work->first_component = false;
    start = next;
  }
}

glob_entry* glob_expanded(const char* pattern, int flags) {
  glob_work work{};
  if (wild_limit_timeout != 0) {
    work.has_deadline = true;
    work.deadline = std::time(nullptr) + wild_limit_timeout;
  }
  if (is_command(pattern)) return command_result(pattern);
  shell_error = 0;
  work.entries = static_cast<glob_entry*>(chk_alloc(kInitialEntries * sizeof(glob_entry)));
  if (work.entries == nullptr) return nullptr;
  work.capacity = kInitialEntries;
  work.first_component = true;
  expand_components(&work, take_leading_part(&work, pattern), flags);
  if (work.failed) {
    release_entries(&work);
    return nullptr;
  }
  return glob_finish(&work, flags);
}

}  // namespace

glob_entry* glob_filenames(const char* pattern, int flags) {
  char* expanded = tilde_expand(pattern);
  if (expanded == nullptr) return nullptr;
  glob_entry* result = glob_expanded(expanded, flags);
  chk_free(expanded);
  return result;
}

}  // namespace vn
