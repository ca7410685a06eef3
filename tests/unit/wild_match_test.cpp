// Wildcard matching of single names, the wildcard test and the case count.
#include <gtest/gtest.h>

#include <string>

#include "vnlib.h"

namespace {

struct Row {
  const char* name;
  const char* pattern;
  int flags;
  int expected;
};

constexpr int kDot = vn::WILD_DOTFILES;
constexpr int kNoCase = vn::WILD_NOCASE;

const Row kRows[] = {
    // ";" pieces: tried in order on the whole name; a trailing ";" adds none.
    {"abc", "*.c;abc", 0, 1},
    {"", "", 0, 0},
    {"", ";x", 0, 1},
    {"", ";", 0, 1},
    {"x", "x;", 0, 1},
    {"", "x;", 0, 0},
    {"b", "[a;b]", 0, 0},  // cut inside the set: pieces "[a" and "b]"
    {"b]", "[a;b]", 0, 1},
    // Literals, "?" and the backslash as an ordinary character.
    {"abc", "abc", 0, 1},
    {"abc", "ab", 0, 0},
    {"ab", "abc", 0, 0},
    {".profile", "?profile", 0, 1},
    {"", "?", 0, 0},
    {"a\\b", "a\\b", 0, 1},
    {"a/b", "a?b", 0, 1},
    // "*": the dot rule at the start, the trailing star, non-empty suffixes.
    {".profile", "*", 0, 0},
    {".profile", "*", kDot, 1},
    {"", "*", 0, 1},
    {"a.b", "a*", 0, 1},
    {"a", "a*", 0, 1},
    {"a", "a**", 0, 0},
    {"ab", "a**", 0, 1},
    {"ac", "a*c", 0, 1},
    {"abxbc", "a*bc", 0, 1},
    {".c", "*.c", 0, 0},
    {".x.c", "*.c", kDot, 1},
    {"a.", "a**", 0, 0},     // the second star begins the rest: no leading "."
    {"a.", "a**", kDot, 0},  // ... and the rest runs without the dot flag
    {"a.b", "a**", 0, 1},
    // Sets, negated sets, ranges; "]" first ends the set; no folding inside.
    {"b", "[abc]", 0, 1},
    {"m", "[a-z]", 0, 1},
    {"B", "[a-z]", 0, 0},
    {"b", "[^a]", 0, 1},
    {"xb", "[^a]b", 0, 1},
    {"ab", "[^a]b", 0, 0},
    {"", "[^a]", 0, 0},
    {"!", "[!a]", 0, 1},
    {"]", "[]]", 0, 0},
    {"a]", "[]a]", 0, 0},
    {"x", "[^]", 0, 1},
    {"a", "[a-]", 0, 0},
    {"-", "[a-]", 0, 0},
    {"b", "[ab", 0, 1},  // unclosed: ends with the pattern
    {"\xe9", "[\x80-\x7f]", 0, 1},  // signed: 0x80..0x7f holds every byte
    {"a", "[\x01-\xff]", 0, 0},      // ... and 0x01..0xff none
    {"\xe9", "[\xe0-\xef]", 0, 1},
    {"A", "a", kNoCase, 1},
    {"a", "A", kNoCase, 1},
    {"A", "[a-z]", kNoCase, 0},
    {"A", "a", 0, 0},
    // Brace alternatives.
    {"x.h", "*.{c,h}", 0, 1},
    {"x.o", "*.{c,h}", 0, 0},
    {".x", "{*}", 0, 0},
    {".x", "{*}", kDot, 1},
    {"", "{a,}", 0, 0},
    {"", "{,x}", 0, 1},
    {"x", "{,x}", 0, 1},
    {"", "{,}", 0, 1},
    {"", "{}", 0, 0},
    {"", "a{", 0, 0},
    {"a", "a{", 0, 0},
    {"ac", "{a,b}c", 0, 0},
    {"c", "{a,b}c", 0, 0},
    {"ab", "{a{b,c},d}", 0, 1},
    {"d", "{a{b,c},d}", 0, 1},
    {"ad", "{a{b,c},d}", 0, 0},
    {"b", "{a,b", 0, 1},  // unclosed: ends with the pattern
    {"ab", "{ab}*", 0, 1},
    {"ab", "{ab}{,x}", 0, 1},
    {"a.", "a*{*}", 0, 0},  // rest after a star: dot rule, no dot flag
    {"a.", "a*{*}", kDot, 0},
    // Fault mended: "-" at the very end of the pattern is a plain member.
    {"-", "[a-", 0, 1},
    {"a", "[a-", 0, 1},
    {"b", "[a-", 0, 0},
};

TEST(WildMatch, Table) {
  for (const Row& row : kRows) {
    EXPECT_EQ(vn::wild_match(row.name, row.pattern, row.flags), row.expected)
        << "name \"" << row.name << "\" pattern \"" << row.pattern << "\" flags " << row.flags;
  }
}

// Would take exponential time without the memo of failed suffixes.
TEST(WildMatch, ManyStarsAndNestedBracesStayTractable) {
  std::string name(200, 'a');
  std::string stars;
  for (int i = 0; i < 40; ++i) stars += "*a";
  EXPECT_EQ(vn::wild_match(name.c_str(), (stars + "b").c_str(), 0), 0);
  EXPECT_EQ(vn::wild_match(name.c_str(), (std::string(40, '*') + "b").c_str(), 0), 0);
  EXPECT_EQ(vn::wild_match(name.c_str(), (stars + "*").c_str(), 0), 1);
  std::string nested;
  for (int i = 0; i < 20; ++i) nested += "{*b,*";
  EXPECT_EQ(vn::wild_match(name.c_str(), (nested + "c").c_str(), 0), 0);
  EXPECT_EQ(vn::wild_match(name.c_str(), (nested + "a").c_str(), 0), 1);
  // A piece longer than the memo kept on the stack.
  EXPECT_EQ(vn::wild_match(name.c_str(), (std::string(300, '*') + "b").c_str(), 0), 0);
  EXPECT_EQ(vn::wild_match(name.c_str(), (std::string(150, '*') + "a").c_str(), 0), 1);
}

// Patterns nesting deeper than any real one neither exhaust the stack nor
// change the result of a long run of stars.
TEST(WildMatch, DeepPatternsDoNotExhaustTheStack) {
  EXPECT_EQ(vn::wild_match("aaaa", (std::string(100000, '*') + "a").c_str(), 0), 1);
  EXPECT_EQ(vn::wild_match("a.", (std::string(100000, '*') + ".").c_str(), 0), 1);
  EXPECT_EQ(vn::wild_match("a.", (std::string(100000, '*') + "*").c_str(), 0), 1);
  EXPECT_EQ(vn::wild_match("..", (std::string(100000, '*') + "*").c_str(), vn::WILD_DOTFILES), 0);
  std::string braces;
  for (int i = 0; i < 5000; ++i) braces += "{*";
  EXPECT_EQ(vn::wild_match("a", braces.c_str(), 0), 0);
}

TEST(WildMatch, IsWildcardAndCaseConversionCount) {
  EXPECT_EQ(vn::is_wildcard("a$b"), 1);
  EXPECT_EQ(vn::is_wildcard("*"), 1);
  EXPECT_EQ(vn::is_wildcard("[x"), 1);
  EXPECT_EQ(vn::is_wildcard("a?"), 1);
  EXPECT_EQ(vn::is_wildcard("{a,b}"), 0);
  EXPECT_EQ(vn::is_wildcard(""), 0);

  int32_t before = vn::wild_case_conversion_count;
  vn::wild_set_case_conversion(5);
  vn::wild_set_case_conversion(1);
  vn::wild_set_case_conversion(0);
  EXPECT_EQ(vn::wild_case_conversion_count, before + 1);
  vn::wild_set_case_conversion(0);
  EXPECT_EQ(vn::wild_case_conversion_count, before);
}

}  // namespace
