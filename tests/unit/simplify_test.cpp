// Simplification of typed names, with the working directory (the scratch
// directory, "%" in the tables) and HOME set by the tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vnlib.h"

namespace {

using vntest::take;

class Simplify : public vntest::ScratchDir {
 protected:
  std::string here(const std::string& text) const {
    std::string result;
    for (char ch : text) result += ch == '%' ? dir.string() : std::string(1, ch);
    return result;
  }
};

TEST_F(Simplify, TypedNames) {
  std::filesystem::create_directory("sub");
  std::string parent = dir.parent_path().string();
  struct Case {
    const char* typed;
    std::string expected;
  };
  const Case cases[] = {
      {"inst", "%/inst"},
      {"./inst/", "%/inst"},
      {"../x", parent + "/x"},
      {"", ""},
      {"|cmd", "|cmd"},
      {"!cmd x", "!cmd x"},
      {"'/opt/my dir'", "/opt/my dir"},
      {"\"/opt/x", "/opt/x"},
      {"\"/opt/a'b\"", "/opt/a'b"},
      {"//usr///local//", "/usr/local"},
      {"/usr/./local/../lib", "/usr/lib"},
      {"/a/../../b", "/b"},
      {"/../x", "/x"},
      {"/..", "/"},
      {"/a/..", "/"},
      {"/a/b/..", "/a"},
      {"/a/.", "/a"},
      {"/.", "/"},
      {"/", "/"},
      {"~nosuchuser/x/", "~nosuchuser/x"},
      // Wildcard names stay as typed: the expansion asks for no file type.
      {"*.none", "%/*.none"},
      {"su*", "%/su*"},
      {"/opt/[ab]?", "/opt/[ab]?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(take(vn::simplify_and_expand_filename(c.typed)), here(c.expected)) << c.typed;
  }
}

TEST_F(Simplify, DollarComponents) {
  const char* old_home = std::getenv("HOME");
  std::string saved = old_home != nullptr ? old_home : "";
  setenv("HOME", "/home/u", 1);
  unsetenv("NOPE");
  EXPECT_EQ(take(vn::simplify_and_expand_filename("$HOME/inst")), "/home/u/inst");
  EXPECT_EQ(take(vn::simplify_and_expand_filename("$NOPE/x")), here("%/$NOPE/x"));
  if (old_home != nullptr) setenv("HOME", saved.c_str(), 1);
  else unsetenv("HOME");
}

TEST_F(Simplify, RelativeToTheRoot) {
  ASSERT_EQ(chdir("/"), 0);
  vn::get_cwd_changed_directory();
  EXPECT_EQ(take(vn::simplify_filename("x")), "/x");
  EXPECT_EQ(take(vn::simplify_filename("a/../b")), "/b");
}

// The home directory of "~" is cached once per process, so HOME is set in a
// fresh one.
TEST_F(Simplify, Tilde) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("HOME", "/home/u", 1);
        std::string bare = take(vn::simplify_and_expand_filename("~"));
        std::string sub = take(vn::simplify_and_expand_filename("~/x/"));
        std::string dotted = take(vn::simplify_and_expand_filename("~/a/../b"));
        bool ok = bare == "/home/u/" && sub == "/home/u/x" && dotted == "/home/u/b";
        if (!ok) std::fprintf(stderr, "%s %s %s\n", bare.c_str(), sub.c_str(), dotted.c_str());
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Collapse, RelativeNamesKeepLeadingDots) {
  for (const char* name : {"./a", "../a", "a/../b", "a/.."}) {
    std::string text = name;
    vn::wild_collapse(text.data());
    EXPECT_EQ(std::string(text.c_str()), name);
  }
  std::string text = "/a/./b//c/";
  vn::wild_collapse(text.data());
  EXPECT_STREQ(text.c_str(), "/a/b/c/");
}

// Folds that make an earlier component fit a rule, and a long name whose
// every component folds (this took quadratic time once).
TEST(Collapse, FoldsReachBackwards) {
  for (const auto& [name, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/x/a/b/../../c", "/x/c"}, {"/a/.//../b", "/b"}, {"/a/b/./../..", "/"}, {"/a/..//.", "/"}}) {
    std::string text = name;
    vn::wild_collapse(text.data());
    EXPECT_EQ(std::string(text.c_str()), expected) << name;
  }
  std::string text, expected;
  for (int i = 0; i < 4000; ++i) {
    text += "/a/./b/..";
    expected += "/a";
  }
  vn::wild_collapse(text.data());
  EXPECT_EQ(std::string(text.c_str()), expected);
}

TEST(RemoveDotdot, AppliesEachParentStep) {
  EXPECT_EQ(take(vn::remove_dotdot("/a/b/../c")), "/a/c");
  EXPECT_EQ(take(vn::remove_dotdot("a/../b")), "b");
  EXPECT_EQ(take(vn::remove_dotdot("/../x")), "/x");
  EXPECT_EQ(take(vn::remove_dotdot("/a/../../b")), "/b");
  EXPECT_EQ(take(vn::remove_dotdot("/a/./b")), "/a/./b");
  // Far beyond any fixed buffer.
  std::string deep(3000, 'd');
  EXPECT_EQ(take(vn::remove_dotdot(("/" + deep + "/x/../y").c_str())), "/" + deep + "/y");
}

}  // namespace
