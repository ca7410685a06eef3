// Globbing over trees that each test builds in its scratch directory. "%"
// in an expected or given path stands for the scratch directory. Every call
// goes through glob(), which also checks that the working directory is the
// same afterwards.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vnlib.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class Glob : public vntest::ScratchDir {
 protected:
  void TearDown() override {
    vn::wild_limit_max_count = 5000;
    vn::wild_limit_timeout = 30;
    ScratchDir::TearDown();
  }

  std::string here(const std::string& text) const {
    std::string result;
    for (char ch : text) result += ch == '%' ? dir.string() : std::string(1, ch);
    return result;
  }

  static void file(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path().empty() ? "." : fs::path(path).parent_path());
    std::ofstream(path) << "data";
  }

  // The names glob_filenames gives, in order; the result is released.
  Names glob(const std::string& pattern, int flags) const {
    char before[PATH_MAX];
    EXPECT_NE(getcwd(before, sizeof before), nullptr);
    vn::glob_entry* entries = vn::glob_filenames(here(pattern).c_str(), flags);
    char after[PATH_MAX];
    EXPECT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after) << pattern;
    if (entries == nullptr) return {"<null>"};
    return vntest::take_entries(entries);
  }

  Names here(const Names& names) const {
    Names result;
    for (const std::string& name : names) result.push_back(here(name));
    return result;
  }
};

struct Case {
  const char* pattern;
  int flags;
  Names expected;
};

constexpr int F = vn::WILD_FILES;
constexpr int D = vn::WILD_DIRS;

TEST_F(Glob, PatternsOverATree) {
  for (const char* name : {"a.txt", "b.c", ".hidden", "x", "sub/x", "sub/deeper/x"}) file(name);
  fs::create_directory("other");
  fs::create_directory_symlink("sub", "link");
  const Case cases[] = {
      {"a.txt", 0, {"a.txt"}},
      {"nosuch", F, {"nosuch"}},
      {"%/no/such/file", 0, {"%/no/such/file"}},
      {"*", 0, {}},
      {"*", F, {"a.txt", "b.c", "x"}},
      {"*", D, {"link", "other", "sub"}},
      {"*", F | vn::WILD_DOTFILES, {".hidden", "a.txt", "b.c", "x"}},
      {"*", D | vn::WILD_LSTAT, {"other", "sub"}},
      {"*", F | vn::WILD_LSTAT, {"a.txt", "b.c", "link", "x"}},
      {"*.c", F | D, {"b.c"}},
      {"*.c", F | D | vn::WILD_ALLDIRS, {"b.c", "link", "other", "sub"}},
      {"?.c", F, {"b.c"}},
      {"%/*.txt", F, {"%/a.txt"}},
      {"%//*.txt", F, {"%/a.txt"}},
      {"sub/*", F, {"sub/x"}},
      {"sub//*", F, {"sub/x"}},
      {"sub/x", 0, {"sub/x"}},
      {"sub//x", 0, {"sub/x"}},
      {"sub/", 0, {"sub"}},
      {"*/x", F, {"link/x", "sub/x"}},
      {"s*/d*/x", F, {"sub/deeper/x"}},
      {"%/s*/*", F | D, {"%/sub/deeper", "%/sub/x"}},
      {"/no/such/*", F | D, {}},
      // A wildcard that matches nothing leaves nothing to continue from.
      {"nomatch*/x", F, {}},
      {"%/nomatch*/x", F, {}},
      {"|sort", F, {"|sort"}},
      {"!cmd *", 0, {"!cmd *"}},
  };
  for (const Case& c : cases) EXPECT_EQ(glob(c.pattern, c.flags), here(c.expected)) << c.pattern << " " << c.flags;
}

TEST_F(Glob, StatusOfEntries) {
  file("f");
  vn::glob_entry* found = vn::glob_filenames("f", 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found[0].ge_stat.st_size, 4);
  EXPECT_EQ(found[1].ge_name, nullptr);
  vn::chk_free(found[0].ge_name);
  vn::chk_free(found);

  vn::glob_entry* missing = vn::glob_filenames("/no/such/file", 0);
  ASSERT_NE(missing, nullptr);
  const struct stat zero {};
  EXPECT_EQ(std::memcmp(&missing[0].ge_stat, &zero, sizeof zero), 0);
  vn::chk_free(missing[0].ge_name);
  vn::chk_free(missing);
}

TEST_F(Glob, SortOrders) {
  for (const char* name : {"B", "a", "c", "aa"}) file(name);
  fs::create_directory("zz");
  EXPECT_EQ(glob("*", F | D), (Names{"B", "a", "aa", "c", "zz"}));
  EXPECT_EQ(glob("*", F | D | vn::WILD_SORT_NOCASE), (Names{"a", "aa", "B", "c", "zz"}));
  EXPECT_EQ(glob("*", F | D | vn::WILD_SORT_DIRS_FIRST), (Names{"zz", "B", "a", "aa", "c"}));

  Names listed;
  DIR* directory = opendir(".");
  ASSERT_NE(directory, nullptr);
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') listed.push_back(entry->d_name);
  }
  closedir(directory);
  EXPECT_EQ(glob("*", F | D | vn::WILD_NOSORT), listed);
}

TEST_F(Glob, EnvironmentComponents) {
  const char* old_home = std::getenv("HOME");
  std::string saved = old_home != nullptr ? old_home : "";
  setenv("HOME", "/home/u", 1);
  unsetenv("NOPE");
  EXPECT_EQ(glob("$HOME/x", 0), (Names{"/home/u/x"}));
  EXPECT_EQ(glob("$NOPE/x", 0), (Names{"$NOPE/x"}));
  setenv("WHERE", dir.c_str(), 1);
  file("w.txt");
  EXPECT_EQ(glob("$WHERE/*.txt", F), here(Names{"%/w.txt"}));
  unsetenv("WHERE");
  if (old_home != nullptr) setenv("HOME", saved.c_str(), 1);
  else unsetenv("HOME");
}

TEST_F(Glob, LimitsStopOneComponent) {
  for (int i = 0; i < 10; ++i) file("many/f" + std::to_string(i));
  vn::wild_limit_max_count = 3;
  EXPECT_EQ(glob("many/*", F).size(), 4u);
  vn::wild_limit_max_count = 0;
  EXPECT_EQ(glob("many/*", F).size(), 10u);
  // A deadline already passed is noticed when the entry count reaches a
  // multiple of four: the base and three names.
  vn::wild_limit_timeout = -1;
  EXPECT_EQ(glob("many/*", F).size(), 3u);
}

TEST_F(Glob, InitReadsTheLimits) {
  setenv("VN_WILD_LIMIT_TIMEOUT", "7", 1);
  setenv("VN_WILD_LIMIT_MAX_COUNT", "9", 1);
  vn::wild_init();
  unsetenv("VN_WILD_LIMIT_TIMEOUT");
  unsetenv("VN_WILD_LIMIT_MAX_COUNT");
  EXPECT_EQ(vn::wild_limit_timeout, 7);
  EXPECT_EQ(vn::wild_limit_max_count, 9);
  vn::wild_init();
  EXPECT_EQ(vn::wild_limit_timeout, 7);
}

// Leaf directories count too, symbolic links are never entered, and a plain
// path after "**" keeps only the directories that hold it.
TEST_F(Glob, AnyDepth) {
  for (const char* name : {"t/x", "t/a/x", "t/a/b/c/x"}) file(name);
  fs::create_directory("t/d");
  fs::create_directory_symlink("a", "t/ln");
  const Case cases[] = {
      {"t/**/x", F, {"%/t/a/b/c/x", "%/t/a/x", "t/x"}},
      {"t/**", D, {"%/t/a", "%/t/a/b", "%/t/a/b/c", "%/t/d", "t"}},
      {"%/t/**/x", F, {"%/t/a/b/c/x", "%/t/a/x", "%/t/x"}},
      {"%/t/**/c/x", F, {"%/t/a/b/c/x"}},
      {"%/t/**/*", F, {"%/t/a/b/c/x", "%/t/a/x", "%/t/x"}},
      {"**/c", D, {"%/./t/a/b/c"}},
  };
  for (const Case& c : cases) EXPECT_EQ(glob(c.pattern, c.flags), here(c.expected)) << c.pattern;
}

TEST_F(Glob, AnyDepthWithoutAWorkingDirectory) {
  file("t/a/x");
  std::string tree = here("%/t");
  fs::create_directory("gone");
  ASSERT_EQ(chdir("gone"), 0);
  ASSERT_EQ(rmdir((dir / "gone").c_str()), 0);
  vn::glob_entry* entries = vn::glob_filenames((tree + "/**/x").c_str(), F);
  ASSERT_NE(entries, nullptr);
  Names names = vntest::take_entries(entries);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names[0], tree + "/a/x");
  char cwd[PATH_MAX];
  EXPECT_EQ(getcwd(cwd, sizeof cwd), nullptr);  // still in the removed directory
}

TEST(GlobHelpers, SkipDelimiterRunAndCompare) {
  EXPECT_STREQ(vn::skip_delimiter_run("///a"), "/a");
  EXPECT_STREQ(vn::skip_delimiter_run("/a"), "/a");
  EXPECT_STREQ(vn::skip_delimiter_run("a//"), "a//");
}

}  // namespace
