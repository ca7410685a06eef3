// Expanding a command-line-like text into the file names its words name,
// and the first such name for a single typed file name.
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

constexpr int kSplitOnSemicolons = QWORD_SEMICOLON;
constexpr int kSplitKeepingSpaces = QWORD_SEMICOLON | QWORD_SPACES;
constexpr int32_t kLiteralWord = 1;
// Marks an entry whose name repeats one already taken.
constexpr int32_t kDroppedEntry = -1;

using Entries = ChkArray<glob_entry>;

bool is_command(const char* text) { return text[0] == '!' || text[0] == '|'; }

// A copy of the text alone in a terminated array.
char** command_alone(const char* text) {
  auto** result = static_cast<char**>(chk_zalloc(2 * sizeof(char*)));
  if (result == nullptr) return nullptr;
  result[0] = chk_strdup(text);
  if (result[0] != nullptr) return result;
  chk_free(result);
  return nullptr;
}

// Moves every entry of a glob result into entries; false when memory ran
// out (the names not taken are released).
bool move_entries(Entries& entries, glob_entry* found) {
  bool ok = true;
  for (glob_entry* entry = found; entry->ge_name != nullptr; ++entry) {
    if (ok) ok = entries.push(*entry);
    if (!ok) chk_free(entry->ge_name);
  }
  chk_free(found);
  return ok;
}

// Consumes the word: a literal word is one entry of its own, any other is
// globbed. False when memory ran out (the globber gives null only then).
bool collect_word(Entries& entries, char* word, int32_t kind, int glob_flags) {
  if (kind == kLiteralWord) {
    glob_entry literal{};
    literal.ge_name = word;
    if (entries.push(literal)) return true;
    chk_free(word);
    return false;
  }
  glob_entry* found = glob_filenames(word, glob_flags);
  chk_free(word);
  return found != nullptr && move_entries(entries, found);
}

// Globs every word; false when memory ran out.
bool collect_words(Entries& entries, string_qword* words, int word_count, int flags) {
  const int glob_flags = word_count > 1 ? flags | WILD_NOSORT : flags;
  bool ok = true;
  for (string_qword* word = words; word->word != nullptr; ++word) {
    if (ok) {
      ok = collect_word(entries, word->word, word->kind, glob_flags);
    } else {
      chk_free(word->word);
    }
  }
  chk_free(words);
  return ok;
}

// Orders entry pointers by name, and entries of the same name by position.
int by_name_then_position(const void* a, const void* b) {
  const glob_entry* left = *static_cast<const glob_entry* const*>(a);
  const glob_entry* right = *static_cast<const glob_entry* const*>(b);
  const int order = std::strcmp(left->ge_name, right->ge_name);
  if (order != 0) return order;
  return left < right ? -1 : (left > right ? 1 : 0);
}

// Marks every entry whose name an earlier entry already has. Entries of one
// name need not lie side by side (a literal word and a globbed directory of
// the same name sort apart), so the names are compared in an order of their
// own. False when memory ran out.
bool mark_repeats(Entries& entries) {
  if (entries.count < 2) return true;
  ChkArray<glob_entry*> by_name;
  for (size_t i = 0; i < entries.count; ++i) {
    if (!by_name.push(&entries.items[i])) {
      by_name.release();
      return false;
    }
  }
  qsort(by_name.items, by_name.count, sizeof(glob_entry*), by_name_then_position);
  for (size_t i = 1; i < by_name.count; ++i) {
    if (std::strcmp(by_name.items[i - 1]->ge_name, by_name.items[i]->ge_name) == 0) {
      by_name.items[i]->ge_size = kDroppedEntry;
    }
  }
  by_name.release();
  return true;
}

// The names of the entries not marked as repeats, in order, with a null
// terminator; the entries are consumed.
char** take_names(Entries& entries) {
  ChkArray<char*> names;
  bool ok = true;
  for (size_t i = 0; i < entries.count; ++i) {
    char* name = entries.items[i].ge_name;
    if (ok && entries.items[i].ge_size != kDroppedEntry) {
      ok = names.push(name);
      if (ok) continue;
    }
    chk_free(name);
  }
  entries.release();
  if (ok && names.push(nullptr)) return names.take();
  for (size_t i = 0; i < names.count; ++i) chk_free(names.items[i]);
  names.release();
  return nullptr;
}

}  // namespace

char** shell_expand(const char* text, int flags) {
  if (text == nullptr) return nullptr;
  if (is_command(text)) return command_alone(text);

  int word_count = 0;
  const int split_flags = (flags & WILD_SPACED_WORDS) != 0 ? kSplitKeepingSpaces : kSplitOnSemicolons;
  string_qword* words = brace_expand_string(text, &word_count, split_flags);
  if (words == nullptr) return nullptr;

  Entries entries;
  if (!collect_words(entries, words, word_count, flags)) {
    release_glob_entries(entries);
    return nullptr;
  }
  if (word_count > 1) {
    wild_sort_flags = flags;
    if (entries.count > 1) qsort(entries.items, entries.count, sizeof(glob_entry), wild_compare);
  }
  if (!mark_repeats(entries)) {
    release_glob_entries(entries);
    return nullptr;
  }
  return take_names(entries);
}

namespace {

// The name expand_filename returned last; the library owns it.
char* expanded_name = nullptr;
char no_name[] = "";

}  // namespace

const char* expand_filename(const char* text) {
  if (text == nullptr) return no_name;
  if (text[0] != '~' && is_wildcard(text) == 0) return text;

  // The text may be the name returned last: expand it before that is let go.
  char** names = shell_expand(text, WILD_FILES | WILD_DIRS);
  chk_free_ptr(&expanded_name);
  if (names == nullptr) return no_name;
  for (char** name = names; *name != nullptr; ++name) {
    if (expanded_name == nullptr && (*name)[0] != '\0') {
      expanded_name = *name;
    } else {
      chk_free(*name);
    }
  }
  chk_free(names);
  return expanded_name != nullptr ? expanded_name : no_name;
}

char* expand_filename(char* text) {
  return const_cast<char*>(expand_filename(static_cast<const char*>(text)));
}

}  // namespace vn
