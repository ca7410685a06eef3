// Textual folding of "." and ".." components. Nothing here consults the file
// system, so symbolic links are not resolved.
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

// Whether a component of the given dots starts right after the delimiter at
// at, ending at another delimiter (*at_end false) or at the end of the name.
bool dot_component(const char* at, const char* dots, bool* at_end) {
  size_t length = std::strlen(dots);
  if (std::strncmp(at + 1, dots, length) != 0) return false;
  char after = at[1 + length];
  *at_end = after == '\0';
  return *at_end || is_delim_char(after);
}

// Removes count characters at at, shifting the rest of the name left.
void cut(char* at, size_t count) { std::memmove(at, at + count, std::strlen(at + count) + 1); }

// The delimiter before position at within name, or null.
char* previous_delimiter(char* name, char* at) {
  for (char* p = at; p > name;) {
    if (is_delim_char(*--p)) return p;
  }
  return nullptr;
}

enum class fold { none, again, done };

// Applies the first rule that fits the delimiter at at. After a change
// (fold::again) *changed is where the text began to differ.
fold fold_at(char* name, char* at, char** changed) {
  *changed = at;
  size_t run = 1;
  while (is_delim_char(at[run])) ++run;
  if (run > 1) {
    cut(at + 1, run - 1);
    return fold::again;
  }
  bool at_end = false;
  if (dot_component(at, ".", &at_end)) {
    if (!at_end) cut(at, 2);
    else if (at == name) at[1] = '\0';
    else at[0] = '\0';
    return at_end ? fold::done : fold::again;
  }
  if (!dot_component(at, "..", &at_end)) return fold::none;
  // "/.." climbs no higher than the root.
  if (at == name) {
    if (at_end) at[1] = '\0';
    else cut(at, 3);
    return at_end ? fold::done : fold::again;
  }
  char* previous = previous_delimiter(name, at);
  if (previous == nullptr) return at_end ? fold::done : fold::none;
  if (at_end) {
    previous[previous == name ? 1 : 0] = '\0';
    return fold::done;
  }
  cut(previous, static_cast<size_t>(at + 3 - previous));
  *changed = previous;
  return fold::again;
}

// A rule reads at most the delimiter and the three characters after it (and
// whether a delimiter lies before it, which no change alters), so after a
// change the delimiters more than three characters before it still fit no
// rule. Scanning again from there gives what scanning from the first
// character gives, without making long names take quadratic time.
constexpr size_t kRuleReach = 3;

char* rescan_from(char* name, const char* changed) {
  const size_t offset = static_cast<size_t>(changed - name);
  return name + (offset > kRuleReach ? offset - kRuleReach : 0);
}

}  // namespace

void wild_collapse(char* name) {
  if (name == nullptr) return;
  char* at = name;
  while (*at != '\0') {
    if (!is_delim_char(*at)) {
      ++at;
      continue;
    }
    char* changed = at;
    fold result = fold_at(name, at, &changed);
    if (result == fold::done) return;
    at = result == fold::again ? rescan_from(name, changed) : at + 1;
  }
}

// Each "/../" removes the component before it. Unlike wild_collapse this
// leaves "." components and delimiter runs alone. The result is never
// longer than the name, so it is built in a buffer of the name's length.
char* remove_dotdot(const char* name) {
  if (name == nullptr) return nullptr;
  auto* result = static_cast<char*>(chk_alloc(std::strlen(name) + 1));
  if (result == nullptr) return nullptr;
  size_t out = 0;
  const char* in = name;
  while (*in != '\0') {
    bool dotdot = is_delim_char(in[0]) && in[1] == '.' && in[2] == '.' && is_delim_char(in[3]);
    if (!dotdot) {
      result[out++] = *in++;
      continue;
    }
    result[out] = '\0';
    char* previous = filename_last_component(result);
    if (previous != nullptr) {
      out = static_cast<size_t>(previous - result);
      in += 3;
    } else if (out == 0 && is_absolute(name)) {
      // Nothing above the root: the "/" stays, so "/../x" gives "/x".
      in += 3;
    } else {
      out = 0;
      in += 4;
    }
  }
  result[out] = '\0';
  return result;
}

}  // namespace vn
