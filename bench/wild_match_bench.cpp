// Times wild_match on patterns with many stars, and cross-checks it against a
// plain recursive matcher without memo on random short patterns and names.
//
//   cmake --build build --target wild_match_bench && build/bin/wild_match_bench
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "vnlib.h"

namespace {

// The pattern language matched by plain recursion: every "*" followed by more
// pattern tries all suffixes again, which is exponential in the star count.
struct Plain {
  const char* name_end;

  const char* alt_end(const char* p, const char* end, bool at_comma) const {
    int depth = 0;
    for (; p < end; ++p) {
      if (*p == '{') ++depth;
      else if (*p == '}' && depth-- == 0) return p;
      else if (*p == ',' && depth == 0 && at_comma) return p;
    }
    return end;
  }

  bool set(const char*& p, const char* end, signed char c) const {
    bool neg = p < end && *p == '^', hit = false;
    if (neg) ++p;
    while (p < end && *p != ']') {
      signed char lo = static_cast<signed char>(*p);
      if (p + 2 < end && p[1] == '-') hit |= lo <= c && c <= static_cast<signed char>(p[2]), p += 3;
      else if (p + 2 == end && p[1] == '-') hit |= c == lo || c == '-', p += 2;
      else hit |= c == lo, ++p;
    }
    if (p < end) ++p;
    return hit != neg;
  }

  bool match(const char* t, const char* p, const char* end, int flags) const {
    const char* start = p;
    for (; p < end; ++p, ++t) {
      if (*p == '*') {
        if (p == start && *t == '.' && !(flags & vn::WILD_DOTFILES)) return false;
        if (p + 1 == end) return true;
        for (const char* s = name_end - 1; s >= t; --s)
          if (match(s, p + 1, end, flags & ~vn::WILD_DOTFILES)) return true;
        return false;
      }
      if (*p == '{') {
        const char* close = alt_end(p + 1, end, false);
        bool alt = false;
        for (const char* a = p + 1; a < close && !alt;) {
          const char* e = alt_end(a, close, true);
          alt = match(t, a, e, flags);
          a = e < close ? e + 1 : close;
        }
        return alt && match(name_end, close < end ? close + 1 : end, end, flags);
      }
      if (t == name_end) return false;
      if (*p == '[') {
        if (!set(++p, end, static_cast<signed char>(*t))) return false;
        --p;
      } else if (*p != '?' && *p != *t &&
                 !((flags & vn::WILD_NOCASE) && std::tolower(*p) == std::tolower(*t))) {
        return false;
      }
    }
    return t == name_end;
  }
};

int plain_match(const char* name, const char* pattern, int flags) {
  Plain plain{name + std::strlen(name)};
  for (const char* piece = pattern;;) {
    const char* cut = std::strchr(piece, ';');
    const char* end = cut ? cut : piece + std::strlen(piece);
    if (!cut && end == piece) return 0;
    if (plain.match(name, piece, end, flags)) return 1;
    if (!cut) return 0;
    piece = cut + 1;
  }
}

int cross_check(int rounds) {
  std::mt19937 rng(7);
  const char pattern_chars[] = "ab.A*?*[]^-{},;";
  const char name_chars[] = "ab.A-";
  auto pick = [&](const char* set, size_t n) { return set[rng() % n]; };
  int mismatches = 0;
  for (int i = 0; i < rounds; ++i) {
    std::string pattern, name;
    for (size_t n = rng() % 9; n > 0; --n) pattern += pick(pattern_chars, sizeof pattern_chars - 1);
    for (size_t n = rng() % 7; n > 0; --n) name += pick(name_chars, sizeof name_chars - 1);
    int flags = static_cast<int>(rng() % 4);
    flags = (flags & 1 ? vn::WILD_DOTFILES : 0) | (flags & 2 ? vn::WILD_NOCASE : 0);
    int got = vn::wild_match(name.c_str(), pattern.c_str(), flags);
    int want = plain_match(name.c_str(), pattern.c_str(), flags);
    if (got != want && ++mismatches <= 10)
      std::printf("MISMATCH name \"%s\" pattern \"%s\" flags %#x: %d, plain %d\n", name.c_str(),
                  pattern.c_str(), flags, got, want);
  }
  return mismatches;
}

void time_case(const char* label, const std::string& name, const std::string& pattern) {
  constexpr int kRuns = 200;
  int result = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kRuns; ++i) result += vn::wild_match(name.c_str(), pattern.c_str(), 0);
  std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - t0;
  std::printf("%-34s %9.2f us per call (result %d)\n", label, took.count() / kRuns, result / kRuns);
}

}  // namespace

int main() {
  constexpr int kRounds = 300000;
  int mismatches = cross_check(kRounds);
  std::printf("cross-check: %d random cases, %d mismatches\n", kRounds, mismatches);

  std::string name(200, 'a');
  std::string star_a;
  for (int i = 0; i < 40; ++i) star_a += "*a";
  std::string nested;
  for (int i = 0; i < 20; ++i) nested += "{*b,*";
  time_case("40 x \"*a\" then \"b\", 200 chars", name, star_a + "b");
  time_case("40 stars then \"b\", 200 chars", name, std::string(40, '*') + "b");
  time_case("20 nested braces, 200 chars", name, nested + "c");
  time_case("\"*.{c,h}\" on \"main.c\"", "main.c", "*.{c,h}");
  return mismatches == 0 ? 0 : 1;
}
