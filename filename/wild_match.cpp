// Matching one file name against a wildcard pattern: "*", "?", sets, brace
// alternatives and ";"-separated alternatives.
//
// The pattern is never copied: every part of it (a ";" piece, a brace
// alternative, the rest after a "*") is a range [p, end) of the caller's text.
// A "*" followed by more pattern tries the rest against every suffix of the
// remaining name, so nested stars would cost time exponential in their number;
// a small memo of suffixes already known to fail keeps the work polynomial.
// Nesting (stars, brace groups) is bounded so that no pattern exhausts the
// stack; patterns that would nest deeper simply do not match.
#include <algorithm>
#include <cstring>

#include "vnlib.h"

namespace vn {

int32_t wild_case_conversion_count = 0;

namespace {

// Pieces up to this length keep their memo on the stack.
constexpr size_t kStackMemoSlots = 256;
// Deepest nesting of pattern ranges (each star and each brace group opens one).
// File names and real patterns stay far below it.
constexpr int kMaxNesting = 4096;

struct Matcher {
  const char* name;      // start of the name
  const char* name_end;  // its terminating NUL
  const char* piece;     // start of the ";" piece being matched
  // For each pattern offset that follows a "*": the name offset from which
  // every suffix is known not to match the pattern from there. Null when no
  // memo could be had (the match is then only slower).
  size_t* failed_from;
  int nesting;  // pattern ranges being matched right now
};

bool match_range(Matcher& m, const char* t, const char* p, const char* end, int flags);

// Folds upper-case letters to lower case; in the C locale this is what the C
// library's tolower does, and bytes of 0x80 and above stay as they are.
char fold_ascii(char c) { return ctype_is(c, CTYPE_UPPER) ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_char(char pattern_char, char name_char, int flags) {
  if (pattern_char == name_char) return true;
  return (flags & WILD_NOCASE) != 0 && fold_ascii(pattern_char) == fold_ascii(name_char);
}

// Matches one name character against the set that starts after "[" at *pp;
// leaves *pp after the set. A set ends at the first "]" where a member would
// begin, or at the end of the pattern.
bool match_set(const char** pp, const char* end, signed char c) {
  const char* p = *pp;
  bool negated = p < end && *p == '^';
  if (negated) ++p;
  bool found = false;
  while (p < end && *p != ']') {
    signed char low = static_cast<signed char>(*p);
    if (p + 1 < end && p[1] == '-') {
      if (p + 2 < end) {
        signed char high = static_cast<signed char>(p[2]);
        found = found || (low <= c && c <= high);
        p += 3;
      } else {
        // A "-" that ends the pattern has no upper bound: a plain member.
        found = found || c == low || c == '-';
        p += 2;
      }
    } else {
      found = found || c == low;
      ++p;
    }
  }
  if (p < end) ++p;  // the closing "]"
  *pp = p;
  return found != negated;
}

// The end of the brace alternative starting at p: its "," or closing "}" at
// nesting depth 0, or the end of the pattern.
const char* alternative_end(const char* p, const char* end, bool stop_at_comma) {
  int depth = 0;
  for (; p < end; ++p) {
    if (*p == '{') {
      ++depth;
    } else if (*p == '}') {
      if (depth == 0) return p;
      --depth;
    } else if (*p == ',' && depth == 0 && stop_at_comma) {
      return p;
    }
  }
  return end;
}

// A brace group whose alternatives start at p (just after "{"): one
// alternative must match the whole remaining name and the pattern after the
// group the empty remainder. Checking the latter first only saves work.
bool match_group(Matcher& m, const char* t, const char* p, const char* end, int flags) {
  const char* close = alternative_end(p, end, false);
  const char* after = close < end ? close + 1 : end;
  if (!match_range(m, m.name_end, after, end, flags)) return false;
  // An empty alternative right before "}" or the pattern end is not tried.
  while (p < close) {
    const char* alt_end = alternative_end(p, close, true);
    if (match_range(m, t, p, alt_end, flags)) return true;
    p = alt_end < close ? alt_end + 1 : close;
  }
  return false;
}

// The pattern rest (which follows a "*") against the suffixes of the name
// from t on, the shortest non-empty one first. Suffixes found failing are
// remembered per rest: the rest always runs with the same flags, so its
// result depends on the suffix alone.
bool match_suffixes(Matcher& m, const char* t, const char* rest, const char* end, int flags) {
  size_t unknown_end = static_cast<size_t>(m.name_end - m.name);
  size_t* memo = m.failed_from != nullptr ? &m.failed_from[rest - m.piece] : &unknown_end;
  size_t first = static_cast<size_t>(t - m.name);
  for (size_t s = *memo; s-- > first;) {
    if (match_range(m, m.name + s, rest, end, flags)) return true;
    *memo = s;
  }
  return false;
}

// Stars after the first of a run each begin a rest of their own, so each
// suffix they leave must be non-empty and must not begin with "."; since they
// may all leave the same suffix, the run needs only one such suffix ahead of
// the one the pattern after the run is tried on.
bool match_star_run(Matcher& m, const char* t, const char* p, const char* end, int flags) {
  while (p < end && *p == '*') ++p;
  while (t < m.name_end && *t == '.') ++t;
  if (t == m.name_end) return false;
  return p == end || match_suffixes(m, t, p, end, flags);
}

bool match_elements(Matcher& m, const char* t, const char* p, const char* end, int flags);

// The name from t to its end against the pattern range [p, end).
bool match_range(Matcher& m, const char* t, const char* p, const char* end, int flags) {
  if (m.nesting >= kMaxNesting) return false;
  ++m.nesting;
  bool matched = match_elements(m, t, p, end, flags);
  --m.nesting;
  return matched;
}

bool match_elements(Matcher& m, const char* t, const char* p, const char* end, int flags) {
  const char* start = p;
  while (p < end) {
    switch (*p) {
      case '*':
        // A "*" that begins a pattern does not reach into a leading ".".
        if (p == start && *t == '.' && (flags & WILD_DOTFILES) == 0) return false;
        if (p + 1 == end) return true;
        if (p[1] == '*') return match_star_run(m, t, p + 1, end, flags & ~WILD_DOTFILES);
        return match_suffixes(m, t, p + 1, end, flags & ~WILD_DOTFILES);
      case '{':
        return match_group(m, t, p + 1, end, flags);
      case '?':
        if (t == m.name_end) return false;
        ++t;
        ++p;
        break;
      case '[':
        if (t == m.name_end) return false;
        ++p;
        if (!match_set(&p, end, static_cast<signed char>(*t))) return false;
        ++t;
        break;
      default:
        if (t == m.name_end || !same_char(*p, *t, flags)) return false;
        ++t;
        ++p;
        break;
    }
  }
  return t == m.name_end;
}

bool match_piece(const char* name, const char* name_end, const char* piece, const char* piece_end,
                 int flags) {
  size_t slots = static_cast<size_t>(piece_end - piece) + 1;
  size_t stack_memo[kStackMemoSlots];
  // A long pattern's memo comes from the library's allocator and is freed
  // by hand: array new or a cleanup object would link the C++ runtime's
  // exception support into the installer program.
  size_t* heap_memo = nullptr;
  size_t* memo = stack_memo;
  if (slots > kStackMemoSlots) {
    heap_memo = static_cast<size_t*>(check_alloc(slots * sizeof(size_t), "wild_match"));
    memo = heap_memo;
  }
  if (memo != nullptr) std::fill(memo, memo + slots, static_cast<size_t>(name_end - name));
  Matcher m{name, name_end, piece, memo, 0};
  const bool matched = match_range(m, name, piece, piece_end, flags);
  chk_free_safe(heap_memo);
  return matched;
}

}  // namespace

int wild_match(const char* name, const char* pattern, int flags) {
  if (name == nullptr || pattern == nullptr) return 0;
  const char* name_end = name + std::strlen(name);
  const char* piece = pattern;
  for (;;) {
    const char* cut = std::strchr(piece, ';');
    const char* piece_end = cut != nullptr ? cut : piece + std::strlen(piece);
    // Nothing after the last ";" (or an empty pattern) is no piece at all.
    if (cut == nullptr && piece_end == piece) return 0;
    if (match_piece(name, name_end, piece, piece_end, flags)) return 1;
    if (cut == nullptr) return 0;
    piece = cut + 1;
  }
}

int is_wildcard(const char* string) {
  return string != nullptr && std::strpbrk(string, "$*[?") != nullptr ? 1 : 0;
}

void wild_set_case_conversion(int enable) { wild_case_conversion_count += enable != 0 ? 1 : -1; }

}  // namespace vn
