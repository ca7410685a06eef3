// Brace expansion: "a{b,c}d" gives "abd" and "acd". Groups nest, a group
// without commas only loses its braces, "{}" and unclosed groups stay text.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

// Each group that follows another is expanded one call deeper than the one
// before it. Beyond this many, the rest of the text stays unexpanded, so an
// absurdly long text cannot exhaust the stack.
constexpr int kMaxGroupChain = 2000;
int group_chain_depth = 0;
// Groups multiply: "{a,b}" written forty times stands for 2^40 strings. A
// text that expands to more strings than this is refused like one that
// exhausts memory.
constexpr int64_t kMaxExpansions = int64_t{1} << 20;
// Long strings multiply as well: a 4 KiB text of sixteen groups and a long
// tail stands for gigabytes. The expansions of one text may hold at most
// this many bytes, terminators included.
constexpr int64_t kMaxExpansionBytes = int64_t{256} << 20;

int64_t string_bytes(const char* text) { return static_cast<int64_t>(std::strlen(text)) + 1; }

int64_t list_bytes(const brace_list* list) {
  int64_t bytes = 0;
  for (int32_t i = 0; i < list->bl_count; ++i) bytes += string_bytes(list->bl_items[i]);
  return bytes;
}

// A record with room for slots strings and none in use; an empty list keeps
// a null array. Null when memory runs out.
brace_list* new_list(int32_t slots) {
  auto* list = static_cast<brace_list*>(chk_zalloc(sizeof(brace_list)));
  if (list == nullptr || slots <= 0) return list;
  list->bl_items = static_cast<char**>(chk_zalloc(sizeof(char*) * static_cast<size_t>(slots)));
  if (list->bl_items == nullptr) {
    chk_free(list);
    return nullptr;
  }
  list->bl_size = slots;
  return list;
}

// Hands other's strings to list, which was empty.
void take_over(brace_list* list, brace_list* other) {
  chk_free_safe(list->bl_items);
  list->bl_items = other->bl_items;
  list->bl_count = other->bl_count;
  list->bl_size = other->bl_size;
  chk_free(other);
}

// brace_insert that tells whether other's strings went in. Other is
// consumed either way; when memory runs out, list is left as it was.
bool insert_strings(brace_list* list, brace_list* other, int index) {
  if (other == nullptr) return false;
  if (list == nullptr || other->bl_count <= 0) {
    brace_list_release(other);
    return false;
  }
  if (list->bl_count <= 0) {
    take_over(list, other);
    return true;
  }
  if (index < 0 || index > list->bl_count) index = list->bl_count;
  const int32_t replaced = index < list->bl_count ? 1 : 0;
  const int64_t new_count = int64_t{list->bl_count} + other->bl_count - replaced;
  void* grown = new_count <= kMaxExpansions
                    ? chk_realloc(list->bl_items, sizeof(char*) * static_cast<size_t>(new_count))
                    : nullptr;
  if (grown == nullptr) {
    brace_list_release(other);
    return false;
  }
  char** items = static_cast<char**>(grown);
  list->bl_items = items;
  list->bl_size = static_cast<int32_t>(new_count);

  if (replaced != 0) chk_free(items[index]);
  const int32_t tail_start = index + replaced;
  std::memmove(items + index + other->bl_count, items + tail_start,
               sizeof(char*) * static_cast<size_t>(list->bl_count - tail_start));
  std::memcpy(items + index, other->bl_items, sizeof(char*) * static_cast<size_t>(other->bl_count));
  list->bl_count = static_cast<int32_t>(new_count);
  chk_free(other->bl_items);
  chk_free(other);
  return true;
}

// The first expandable group of a text: from its "{" to its matching "}".
struct Group {
  const char* open;
  const char* close;
  int alternatives;
};

bool opens_group(const char* p) { return p[0] == '{' && p[1] != '\0' && p[1] != '}'; }

// Finds the end of the group opening at open and counts its alternatives;
// false when the group is never closed.
bool close_group(const char* open, Group* group) {
  int depth = 0;
  int commas = 0;
  for (const char* p = open + 1; *p != '\0'; ++p) {
    if (*p == '{') {
      ++depth;
    } else if (*p == '}') {
      if (depth == 0) {
        *group = Group{open, p, commas + 1};
        return true;
      }
      --depth;
    } else if (*p == ',' && depth == 0) {
      ++commas;
    }
  }
  return false;
}

// The first "{" that opens a group; an unclosed one ends the search, so
// nothing after it (its inner groups included) is expanded.
bool find_first_group(const char* text, Group* group) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (opens_group(p)) return close_group(p, group);
  }
  return false;
}

// The end of the alternative starting at p: a comma or closing "}" outside
// inner groups, or the end of the text.
const char* alternative_end(const char* p) {
  int depth = 0;
  for (; *p != '\0'; ++p) {
    if (*p == '{') {
      ++depth;
    } else if (*p == '}') {
      if (depth == 0) break;
      --depth;
    } else if (*p == ',' && depth == 0) {
      break;
    }
  }
  return p;
}

// prefix (its first prefix_length bytes) + middle + suffix as a new string.
char* join_three(const char* prefix, size_t prefix_length, const char* middle, const char* suffix) {
  const size_t middle_length = std::strlen(middle);
  const size_t suffix_length = std::strlen(suffix);
  auto* joined = static_cast<char*>(chk_alloc(prefix_length + middle_length + suffix_length + 1));
  if (joined == nullptr) return nullptr;
  std::memcpy(joined, prefix, prefix_length);
  std::memcpy(joined + prefix_length, middle, middle_length);
  std::memcpy(joined + prefix_length + middle_length, suffix, suffix_length + 1);
  return joined;
}

// prefix + alternative + suffix for every alternative and, within it, every
// suffix, in that order.
brace_list* combine(const char* prefix, size_t prefix_length, const brace_list* alternatives,
                    const brace_list* suffixes) {
  const int64_t total = int64_t{alternatives->bl_count} * suffixes->bl_count;
  if (total > kMaxExpansions) return nullptr;
  // Each alternative appears once per suffix and each suffix once per
  // alternative; prefix and terminator once per string.
  const int64_t bytes = list_bytes(alternatives) * suffixes->bl_count +
                        list_bytes(suffixes) * alternatives->bl_count +
                        static_cast<int64_t>(prefix_length) * total;
  if (bytes > kMaxExpansionBytes) return nullptr;
  brace_list* result = new_list(static_cast<int32_t>(total));
  if (result == nullptr) return nullptr;
  for (int32_t a = 0; a < alternatives->bl_count; ++a) {
    for (int32_t s = 0; s < suffixes->bl_count; ++s) {
      char* joined = join_three(prefix, prefix_length, alternatives->bl_items[a], suffixes->bl_items[s]);
      if (joined == nullptr) {
        brace_list_release(result);
        return nullptr;
      }
      result->bl_items[result->bl_count++] = joined;
    }
  }
  return result;
}

// Room for n more strings in a list that expansion fills, growing its
// array by half again at a time; false when memory runs out or the list
// would pass kMaxExpansions.
bool reserve_strings(brace_list* list, int64_t n) {
  const int64_t needed = int64_t{list->bl_count} + n;
  if (needed > kMaxExpansions) return false;
  if (needed <= list->bl_size) return true;
  const int64_t slots = std::min(kMaxExpansions, std::max(needed, int64_t{list->bl_size} * 3 / 2 + 8));
  void* grown = chk_realloc(list->bl_items, sizeof(char*) * static_cast<size_t>(slots));
  if (grown == nullptr) return false;
  list->bl_items = static_cast<char**>(grown);
  list->bl_size = static_cast<int32_t>(slots);
  return true;
}

// Moves the strings of from to the end of to, last first; false (nothing
// moved) when there is no room.
bool move_reversed(brace_list* to, brace_list* from) {
  if (!reserve_strings(to, from->bl_count)) return false;
  while (from->bl_count > 0) to->bl_items[to->bl_count++] = from->bl_items[--from->bl_count];
  return true;
}

// Releases the strings and the array of a list whose record stays.
void clear_list(brace_list* list) {
  for (int32_t i = 0; i < list->bl_count; ++i) chk_free_safe(list->bl_items[i]);
  chk_free_safe(list->bl_items);
  *list = brace_list{};
}

// Each string holding a group is replaced by its expansions, and the first
// of them is examined again, since an alternative may itself hold groups.
// Every step removes a "{", so the walk ends. The strings still to examine
// wait on a stack (the next one on top) and the finished ones are appended
// to a new array: inserting expansions into the middle of one array would
// make the work grow with the square of the number of strings. False when
// memory ran out or the expansions are too many; the list is then empty.
bool expand_list(brace_list* list) {
  brace_list done{};
  brace_list pending{};
  // Bytes of the strings pending or done, all of which the walk holds.
  int64_t held = list_bytes(list);
  bool complete = held <= kMaxExpansionBytes && move_reversed(&pending, list);
  while (complete && pending.bl_count > 0) {
    char* text = pending.bl_items[--pending.bl_count];
    brace_list* expansions = std::strchr(text, '{') != nullptr ? do_brace_expand2(text) : new_list(0);
    if (expansions == nullptr) {
      complete = false;
      chk_free(text);
    } else if (expansions->bl_count > 0) {
      held += list_bytes(expansions) - string_bytes(text);
      complete = done.bl_count + pending.bl_count + int64_t{expansions->bl_count} <= kMaxExpansions &&
                 held <= kMaxExpansionBytes && move_reversed(&pending, expansions);
      chk_free(text);
    } else {
      complete = reserve_strings(&done, 1);
      if (complete) {
        done.bl_items[done.bl_count++] = text;
      } else {
        chk_free(text);
      }
    }
    brace_list_release(expansions);
  }
  clear_list(list);
  clear_list(&pending);
  if (!complete) {
    clear_list(&done);
    return false;
  }
  *list = done;
  return true;
}

}  // namespace

void brace_list_release(brace_list* list) {
  if (list == nullptr) return;
  for (int32_t i = 0; i < list->bl_count; ++i) chk_free_safe(list->bl_items[i]);
  chk_free_safe(list->bl_items);
  chk_free(list);
}

brace_list* do_brace_enum(const char* inside, int n) {
  brace_list* list = new_list(n);
  if (list == nullptr || inside == nullptr) return list;
  const char* p = inside;
  bool ended = false;  // the group's end was reached: the rest are empty
  for (int i = 0; i < n; ++i) {
    const char* end = ended ? p : alternative_end(p);
    char* piece = copy_prefix(p, static_cast<size_t>(end - p));
    if (piece == nullptr) {
      brace_list_release(list);
      return nullptr;
    }
    list->bl_items[list->bl_count++] = piece;
    if (!ended && *end == ',') {
      p = end + 1;
    } else {
      p = end;
      ended = true;
    }
  }
  return list;
}

brace_list* do_brace_expand2(const char* text) {
  Group group{};
  if (text == nullptr || !find_first_group(text, &group) || group_chain_depth >= kMaxGroupChain) {
    return new_list(0);
  }
  brace_list* alternatives = do_brace_enum(group.open + 1, group.alternatives);
  ++group_chain_depth;
  brace_list* suffixes = brace_expand(group.close + 1);
  --group_chain_depth;

  brace_list* result = nullptr;
  if (alternatives != nullptr && suffixes != nullptr) {
    result = combine(text, static_cast<size_t>(group.open - text), alternatives, suffixes);
  }
  brace_list_release(alternatives);
  brace_list_release(suffixes);
  return result;
}

void do_brace_expand(brace_list* list) {
  if (list != nullptr) expand_list(list);
}

brace_list* brace_expand(const char* text) {
  if (text == nullptr) return nullptr;
  brace_list* list = new_list(1);
  if (list == nullptr) return nullptr;
  list->bl_items[0] = chk_strdup(text);
  if (list->bl_items[0] == nullptr) {
    brace_list_release(list);
    return nullptr;
  }
  list->bl_count = 1;
  if (expand_list(list)) return list;
  brace_list_release(list);
  return nullptr;
}

void brace_insert(brace_list* list, brace_list* other, int index) { insert_strings(list, other, index); }

void brace_append(brace_list* list, brace_list* other) {
  insert_strings(list, other, list != nullptr ? list->bl_count : 0);
}

}  // namespace vn
