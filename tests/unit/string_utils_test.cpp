// The library sort, the character classes, the dictionary comparisons and
// the small string functions and word splitters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vnlib.h"

namespace {

using vntest::take;

int by_first_byte(const void* a, const void* b) {
  return *static_cast<const unsigned char*>(a) - *static_cast<const unsigned char*>(b);
}

std::string sorted_by_library(std::string elements, size_t size) {
  vn::qsort(elements.data(), elements.size() / size, size, by_first_byte);
  return elements;
}

TEST(Qsort, FewElementsBySelectionManyStably) {
  // Selection moves the first of two equals behind the second.
  EXPECT_EQ(sorted_by_library("B1B2A3", 2), "A3B2B1");
  // Above five elements equal keys keep their input order.
  EXPECT_EQ(sorted_by_library("B1B2A3C4A5B6B7", 2), "A3A5B1B2B6B7C4");
}

// Random elements of many sizes, with few distinct keys so that ties are
// common, in counts around the largest merge that fits the stack buffer.
TEST(Qsort, MatchesStableSortAroundTheStackBufferLimit) {
  std::mt19937 random(12345);
  for (size_t size : {1u, 3u, 4u, 8u, 13u, 64u, 700u}) {
    const size_t fits = 4095 / size;
    for (size_t count : {size_t{6}, size_t{7}, fits - 1, fits, fits + 1, 2 * fits + 3}) {
      if (count <= 5) continue;  // selection sort: not stable
      std::vector<std::string> elements(count, std::string(size, '\0'));
      for (auto& e : elements) {
        for (auto& byte : e) byte = static_cast<char>(random());
        e[0] = static_cast<char>('a' + random() % 8);
      }
      std::string flat;
      for (const auto& e : elements) flat += e;
      std::stable_sort(elements.begin(), elements.end(),
                       [](const std::string& a, const std::string& b) { return a[0] < b[0]; });
      std::string expected;
      for (const auto& e : elements) expected += e;
      EXPECT_EQ(sorted_by_library(flat, size), expected) << "size " << size << " count " << count;
    }
  }
}

TEST(Ctype, EveryClassHoldsExactlyItsBytes) {
  using Ranges = std::vector<std::pair<int, int>>;
  const std::vector<std::pair<uint16_t, Ranges>> classes = {
      {vn::CTYPE_ALPHA, {{'A', 'Z'}, {'a', 'z'}}},
      {vn::CTYPE_ASCII, {{0x00, 0x7F}}},
      {vn::CTYPE_DIGIT, {{'0', '9'}}},
      {vn::CTYPE_UPPER, {{'A', 'Z'}}},
      {vn::CTYPE_LOWER, {{'a', 'z'}}},
      {vn::CTYPE_XDIGIT, {{'0', '9'}, {'A', 'F'}, {'a', 'f'}}},
      {vn::CTYPE_BLANK, {{'\t', '\t'}, {' ', ' '}}},
      {vn::CTYPE_GRAPH, {{0x21, 0x7E}}},
      {vn::CTYPE_PRINT, {{0x20, 0x7E}}},
      {vn::CTYPE_SPACE, {{0x09, 0x0D}, {' ', ' '}}},
      {vn::CTYPE_PUNCT, {{0x21, 0x2F}, {0x3A, 0x40}, {0x5B, 0x60}, {0x7B, 0x7E}}},
  };
  uint16_t all_bits = 0;
  for (const auto& [bit, ranges] : classes) {
    all_bits |= bit;
    for (int ch = 0; ch < 256; ++ch) {
      const bool expected = std::any_of(ranges.begin(), ranges.end(),
                                        [ch](auto r) { return ch >= r.first && ch <= r.second; });
      EXPECT_EQ((vn::ctype_array[ch] & bit) != 0, expected) << "class " << bit << " byte " << ch;
    }
  }
  for (int ch = 0; ch < 256; ++ch) EXPECT_EQ(vn::ctype_array[ch] & ~all_bits, 0) << ch;
}

int sign(int value) { return (value > 0) - (value < 0); }

TEST(DictCompare, LettersThenDigitsThenOthers) {
  const struct {
    const char *a, *b;
    int expected;
  } whole[] = {
      {"apple", "1st", -1}, {"1st", "_x", -1}, {"Apple", "apple", 0}, {"_x", "Zed", 1},
      {"9", "10", 1},       {"b", "A", 1},     {"", "a", 1},          {"", "", 0},
  };
  for (const auto& c : whole) EXPECT_EQ(sign(vn::strdictcmp(c.a, c.b)), c.expected) << c.a << " " << c.b;

  const struct {
    const char *a, *b;
    size_t n;
    int expected;
  } bounded[] = {
      {"abc", "ABD", 2, 0}, {"abc", "ABD", 3, -1}, {"ab", "abc", 5, -1}, {"abc", "ab", 5, 1},
      {"a1", "a_", 2, -1},  {"a_", "ab", 2, 1},    {"x\xE9", "x!", 2, -1}, {"Ab", "aB", 9, 0},
  };
  for (const auto& c : bounded) {
    EXPECT_EQ(sign(vn::strndictcmp(c.a, c.b, c.n)), c.expected) << c.a << " " << c.b << " " << c.n;
  }
}

TEST(StringFunctions, LowerCaseCopyAndUnquote) {
  char text[] = "MiXeD 42 \xC9Z";
  vn::lower_case(text);
  EXPECT_STREQ(text, "mixed 42 \xC9z");

  char buffer[] = "abc/../def";
  EXPECT_EQ(vn::overlap_strcpy(buffer + 3, buffer + 6), buffer + 3);
  EXPECT_STREQ(buffer, "abc/def");
  char right[16] = "xyz";
  vn::overlap_strcpy(right + 2, right);
  EXPECT_STREQ(right, "xyxyz");

  EXPECT_EQ(take(vn::string_unquote("\"")), "");
  EXPECT_EQ(take(vn::string_unquote("\"a b\"")), "a b");
  EXPECT_EQ(take(vn::string_unquote("a\"")), "a");
  EXPECT_EQ(take(vn::string_unquote("\"\"x\"\"")), "\"x\"");
  EXPECT_EQ(vn::string_unquote(nullptr), nullptr);
  EXPECT_EQ(vn::string_wordize(nullptr), nullptr);
}

using Words = std::vector<std::pair<std::string, int>>;

Words split(const char* text, int flags) {
  int count = -1;
  vn::string_qword* records = vn::string_qword_split(text, &count, flags);
  Words words;
  for (int i = 0; records[i].word != nullptr; ++i) {
    words.emplace_back(records[i].word, records[i].kind);
    vn::chk_free(records[i].word);
  }
  EXPECT_EQ(count, static_cast<int>(words.size())) << text;
  vn::chk_free(records);
  return words;
}

TEST(WordSplit, QuotedWordsAndBothFlags) {
  const int semi = vn::QWORD_SEMICOLON;
  const int spaces = vn::QWORD_SPACES;
  const struct {
    const char* text;
    int flags;
    Words expected;
  } cases[] = {
      {"", 0, {}},
      {"  \t ", 0, {}},
      {"a;b", 0, {{"a;b", 0}}},
      {"a;b", semi, {{"a", 0}, {"b", 0}}},
      {" one\ttwo  three  ", 0, {{"one", 0}, {"two", 0}, {"three", 0}}},
      {"\"word\"", 0, {{"word", 4}}},
      {"x \"a b\" y", 0, {{"x", 0}, {"\"a b\"", 4}, {"y", 0}}},
      {"a\"b c", 0, {{"a\"b", 0}, {"c", 0}}},
      {"a b \"c d\" e f", spaces, {{"a b", 0}, {"\"c d\"", 4}, {"e f", 0}}},
      {"a b;c", spaces | semi, {{"a b", 0}, {"c", 0}}},
      {";; x ;\"q\";", semi, {{"x", 0}, {"q;", 4}}},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.text, c.flags), c.expected) << c.text << " flags " << c.flags;
}

std::vector<std::string> wordize(const char* text) {
  char** vector = vn::string_wordize(text);
  std::vector<std::string> words;
  for (int i = 0; vector[i] != nullptr; ++i) words.emplace_back(vector[i]);
  vn::chk_free(vector[0]);
  vn::chk_free(vector);
  return words;
}

TEST(Wordize, QuotesAndBackslashesKeepWordsTogether) {
  const struct {
    const char* text;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {""}},
      {"one", {"one"}},
      {"  a  b\tc \n", {"a", "b", "c"}},
      {"say \"a b\" 'c \" d' e\\ f", {"say", "\"a b\"", "'c \" d'", "e\\ f"}},
      {"tail\\", {"tail\\"}},
      {"1 2 3 4 5 6 7 8 9 10 11 12", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}},
  };
  for (const auto& c : cases) EXPECT_EQ(wordize(c.text), c.expected) << c.text;
}

}  // namespace
