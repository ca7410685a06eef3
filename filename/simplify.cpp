// Turning a name that a user typed into one absolute, tidy path: outer
// quotes removed, wildcards expanded, "~" expanded, the working directory
// put in front of a relative name, and "." and ".." folded away.
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

// Commands ("|cmd", "!cmd") and the empty text are not file names.
bool passes_through(const char* text) { return text[0] == '\0' || text[0] == '|' || text[0] == '!'; }

// A copy without one enclosing pair of double or single quotes; an opening
// quote without its closing one is dropped alone.
char* unquoted_copy(const char* text) {
  if (text[0] != '"' && text[0] != '\'') return chk_strdup(text);
  char* copy = chk_strdup(text + 1);
  if (copy == nullptr) return nullptr;
  size_t length = std::strlen(copy);
  if (length > 0 && copy[length - 1] == text[0]) copy[length - 1] = '\0';
  return copy;
}

// The first name the globber gives for the text, the text itself when it
// gives none, or null when the globber fails.
char* first_expansion(char* text, bool* failed) {
  // No file or directory type is asked for: a wildcard name comes back
  // empty and stays as typed, while "~" and "$" components are expanded.
  glob_entry* entries = glob_filenames(text, 0);
  if (entries == nullptr) {
    *failed = true;
    return text;
  }
  char* first = entries[0].ge_name;
  if (first != nullptr) {
    for (glob_entry* entry = entries + 1; entry->ge_name != nullptr; ++entry) chk_free(entry->ge_name);
  }
  chk_free(entries);
  if (first == nullptr) return text;
  chk_free(text);
  return first;
}

// Folds every run of delimiters into one and drops a trailing delimiter that
// is not the whole name.
void fold_delimiters(char* name) {
  char* out = name;
  for (const char* in = name; *in != '\0'; ++in) {
    if (is_delim_char(*in) && out > name && is_delim_char(out[-1])) continue;
    *out++ = *in;
  }
  if (out - name > 1 && is_delim_char(out[-1])) --out;
  *out = '\0';
}

// The relative name placed where it belongs: "~" names under the home
// directory, others under the working directory. Takes over name.
char* make_absolute(char* name) {
  char* result;
  if (name[0] == '~') {
    result = tilde_expand(name);
  } else {
    const char* cwd = get_cwd();
    bool at_root = is_delim_char(cwd[0]) && cwd[1] == '\0';
    result = at_root ? chk_makestr(filename_delimiter(), name, nullptr) : filename_append_filename(cwd, name);
  }
  chk_free(name);
  return result;
}

}  // namespace

char* simplify_and_expand_filename(const char* text) {
  if (text == nullptr) return nullptr;
  if (passes_through(text)) return chk_strdup(text);
  char* copy = unquoted_copy(text);
  if (copy == nullptr) return nullptr;
  if (is_wildcard(copy) != 0) {
    bool failed = false;
    copy = first_expansion(copy, &failed);
    if (failed) return copy;
  }
  char* result = simplify_filename(copy);
  chk_free(copy);
  return result;
}

char* simplify_filename(const char* name) {
  if (name == nullptr) return nullptr;
  if (passes_through(name)) return chk_strdup(name);
  char* copy = chk_strdup(name);
  if (copy == nullptr) return nullptr;
  forwardslash_to_back(copy);
  fold_delimiters(filename_skip_unc(copy));
  if (!is_absolute(copy)) copy = make_absolute(copy);
  if (copy != nullptr) wild_collapse(copy);
  return copy;
}

}  // namespace vn
