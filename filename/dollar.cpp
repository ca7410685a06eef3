// Substituting environment references ("$NAME") in a text.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

// Longer variable names are cut to this many characters.
constexpr size_t kMaxVariableName = 254;

bool starts_name(char ch) { return ch == '_' || ctype_is(ch, CTYPE_ALPHA); }

bool continues_name(char ch) { return ch == '_' || ctype_is(ch, CTYPE_ALPHA | CTYPE_DIGIT); }

using Text = ChkArray<char>;

bool append(Text& out, const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!out.push(bytes[i])) return false;
  }
  return true;
}

// Appends the value of the variable named at name (the name's first
// character is known to start one); returns the end of the name.
const char* substitute_variable(Text& out, const char* name, bool* ok) {
  const char* end = name;
  while (continues_name(*end)) ++end;
  const size_t length = std::min(static_cast<size_t>(end - name), kMaxVariableName);
  char variable[kMaxVariableName + 1];
  std::memcpy(variable, name, length);
  variable[length] = '\0';
  const char* value = std::getenv(variable);
  if (value != nullptr) *ok = append(out, value, std::strlen(value));
  return end;
}

}  // namespace

// "$" followed by a letter or "_" names a variable, whose value (nothing
// when it is unset) replaces the reference and is not scanned again. A
// backslash before such a "$" is dropped and the "$" kept as it is.
char* wild_dollar_substitute(const char* text) {
  if (text == nullptr) return nullptr;
  const char* dollar = std::strchr(text, '$');
  if (dollar == nullptr) return chk_strdup(text);

  Text out;
  bool ok = append(out, text, static_cast<size_t>(dollar - text));
  const char* p = dollar;
  while (ok && *p != '\0') {
    if (p[0] != '$' || !starts_name(p[1])) {
      ok = out.push(*p++);
    } else if (p > text && p[-1] == '\\') {
      --out.count;  // the backslash just copied
      ok = out.push(*p++);
    } else {
      p = substitute_variable(out, p + 1, &ok);
    }
  }
  if (!ok || !out.push('\0')) {
    out.release();
    return nullptr;
  }
  return out.take();
}

}  // namespace vn
