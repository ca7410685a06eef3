// Brace expansion of single texts and of the words of a command line.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "vnlib.h"

namespace {

using Strings = std::vector<std::string>;

// The strings of a list, which is released.
Strings take_list(vn::brace_list* list) {
  Strings result;
  if (list == nullptr) return {"<null>"};
  for (int i = 0; i < list->bl_count; ++i) {
    result.emplace_back(list->bl_items[i]);
    vn::chk_free(list->bl_items[i]);
  }
  vn::chk_free(list->bl_items);
  vn::chk_free(list);
  return result;
}

vn::brace_list* list_of(const Strings& strings) {
  auto* list = static_cast<vn::brace_list*>(vn::chk_zalloc(sizeof(vn::brace_list)));
  for (const std::string& text : strings) vn::brace_append(list, vn::brace_expand(text.c_str()));
  return list;
}

TEST(BraceExpand, ExpandsGroupsInOrder) {
  const std::vector<std::pair<const char*, Strings>> cases = {
      {"a{b,c}d", {"abd", "acd"}},
      {"{x,y}{1,2}", {"x1", "x2", "y1", "y2"}},
      {"a{b}c", {"abc"}},
      {"x{,y}", {"x", "xy"}},
      {"{a,{b,c}}", {"a", "b", "c"}},
      {"{a{x,y},b}", {"ax", "ay", "b"}},
      {"{x,y}{a{b,c},d}", {"xab", "xac", "xd", "yab", "yac", "yd"}},
      // An alternative's own groups are expanded after the rest of the text.
      {"{a{x,y},b}{1,2}", {"ax1", "ay1", "ax2", "ay2", "b1", "b2"}},
      {"a{}b", {"a{}b"}},
      {"a{}{b,c}", {"a{}b", "a{}c"}},
      {"}{a,b}", {"}a", "}b"}},
      {"end{", {"end{"}},
      // An unclosed group stays, inner groups included; earlier groups expand.
      {"a{b,c", {"a{b,c"}},
      {"{a{b,c}", {"{a{b,c}"}},
      {"{x,y}a{b,c", {"xa{b,c", "ya{b,c"}},
      {"plain", {"plain"}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(take_list(vn::brace_expand(text)), expected) << text;
}

TEST(BraceExpand, RefusesTooManyExpansions) {
  std::string group = "{a";  // 1025 alternatives: two such groups give more than 2^20
  for (int i = 0; i < 1024; ++i) group += ",a";
  const std::string text = group + "}" + group + "}";
  EXPECT_EQ(vn::brace_expand(text.c_str()), nullptr);
  int count = -1;
  EXPECT_EQ(vn::brace_expand_string(text.c_str(), &count, 0), nullptr);
  EXPECT_EQ(count, 0);
}

// A short group before a long tail: a text of a few hundred kilobytes that
// would stand for more than 256 MiB of strings.
TEST(BraceExpand, RefusesTooLargeExpansions) {
  std::string group = "{a";
  for (int i = 0; i < 1024; ++i) group += ",a";
  group += "}";
  EXPECT_EQ(vn::brace_expand((group + std::string(256 << 10, 'x')).c_str()), nullptr);
  EXPECT_EQ(take_list(vn::brace_expand((group + std::string(1000, 'x')).c_str())).size(), 1025u);
}

// Of the 131072 strings the first step gives, half hold a group of their own
// and are expanded again. Inserting each expansion into the middle of one
// array made the work grow with the square of the count (a 65-byte text of
// such groups stalled the fuzzer for minutes).
TEST(BraceExpand, StringsExpandedAgainAreGatheredInOrder) {
  std::string text = "{{a,b},c}";
  for (int i = 0; i < 16; ++i) text += "{x,y}";
  vn::brace_list* list = vn::brace_expand(text.c_str());
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->bl_count, 3 << 16);
  const std::string xs(16, 'x');
  EXPECT_STREQ(list->bl_items[0], ("a" + xs).c_str());
  EXPECT_STREQ(list->bl_items[1], ("b" + xs).c_str());
  EXPECT_STREQ(list->bl_items[2], ("a" + xs.substr(1) + "y").c_str());
  EXPECT_STREQ(list->bl_items[list->bl_count - 1], ("c" + std::string(16, 'y')).c_str());
  take_list(list);
}

TEST(BraceExpand, SecondStepExpandsOnlyTheFirstGroupsAlternatives) {
  EXPECT_EQ(take_list(vn::do_brace_expand2("{a{x,y},b}{1,2}")), (Strings{"a{x,y}1", "a{x,y}2", "b1", "b2"}));
  EXPECT_EQ(take_list(vn::do_brace_expand2("a{}b")), Strings{});
}

TEST(BraceExpand, EnumerationStopsAtTheClosingBrace) {
  EXPECT_EQ(take_list(vn::do_brace_enum("a,,{b,c}}rest,x", 3)), (Strings{"a", "", "{b,c}"}));
  EXPECT_EQ(take_list(vn::do_brace_enum("a,", 2)), (Strings{"a", ""}));
  EXPECT_EQ(take_list(vn::do_brace_enum("a,b,c", 2)), (Strings{"a", "b"}));
}

TEST(BraceExpand, InsertReplacesOrAppends) {
  vn::brace_list* list = list_of({"a", "b", "c"});
  vn::brace_insert(list, list_of({"x", "y"}), 1);
  EXPECT_EQ(list->bl_size, 4);
  vn::brace_insert(list, list_of({"z"}), 4);
  vn::brace_insert(list, list_of({}), 0);
  EXPECT_EQ(take_list(list), (Strings{"a", "x", "y", "c", "z"}));

  vn::brace_list* empty = list_of({});
  vn::brace_append(empty, list_of({"q"}));
  EXPECT_EQ(take_list(empty), Strings{"q"});
}

// The words and kinds of a brace_expand_string result, which is released.
std::vector<std::pair<std::string, int>> take_words(vn::string_qword* words, int count) {
  std::vector<std::pair<std::string, int>> result;
  for (int i = 0; words[i].word != nullptr; ++i) {
    result.emplace_back(words[i].word, words[i].kind);
    vn::chk_free(words[i].word);
  }
  EXPECT_EQ(static_cast<int>(result.size()), count);
  vn::chk_free(words);
  return result;
}

TEST(BraceExpandString, QuotedWordsAreLiteralAndEmptyExpansionsDropped) {
  int count = -1;
  vn::string_qword* words = vn::brace_expand_string("\"a b\" x{1,2} \"q{r}\" {,}", &count, vn::QWORD_SEMICOLON);
  using Word = std::pair<std::string, int>;
  EXPECT_EQ(take_words(words, count), (std::vector<Word>{{"a b", 1}, {"x1", 0}, {"x2", 0}, {"q{r}", 1}}));

  words = vn::brace_expand_string("{,}", &count, vn::QWORD_SEMICOLON);
  ASSERT_NE(words, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(words[0].kind, 0);
  EXPECT_EQ(take_words(words, 0).size(), 0u);
}

}  // namespace
