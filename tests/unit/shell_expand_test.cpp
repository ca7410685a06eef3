// Shell-style expansion of texts to file names, directory-tree listings and
// "$NAME" substitution.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vnlib.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

Strings take_names(char** names) {
  if (names == nullptr) return {"<null>"};
  Strings result;
  for (char** name = names; *name != nullptr; ++name) result.push_back(vntest::take(*name));
  vn::chk_free(names);
  return result;
}

class ShellExpand : public vntest::ScratchDir {
 protected:
  static void touch(const fs::path& path) { std::ofstream(path) << "x"; }
  static void make_files(const Strings& names) {
    for (const std::string& name : names) {
      if (name.back() == '/') {
        fs::create_directories(name);
      } else {
        touch(name);
      }
    }
  }
};

TEST_F(ShellExpand, OverlappingWordsGiveEachNameOnceInSortOrder) {
  make_files({"B.c", "a.c", "a.h", "d/", "e/"});
  const std::vector<std::tuple<const char*, int, Strings>> cases = {
      {"*.c a.*", vn::WILD_FILES, {"B.c", "a.c", "a.h"}},
      {"*.c;a.*", vn::WILD_FILES | vn::WILD_SORT_NOCASE, {"a.c", "a.h", "B.c"}},
      {"{a,B}.c *.c", vn::WILD_FILES, {"B.c", "a.c"}},
      {"a.h \"*.c\" nothere", vn::WILD_FILES, {"*.c", "a.h", "nothere"}},
      // A literal word and a directory of the same name do not sort side by side.
      {"\"d\" *", vn::WILD_FILES | vn::WILD_DIRS | vn::WILD_SORT_DIRS_FIRST, {"d", "e", "B.c", "a.c", "a.h"}},
      {"*.none", vn::WILD_FILES, {}},
      {"|lpr *.c", 0, {"|lpr *.c"}},
      {"!cmd", 0, {"!cmd"}},
  };
  for (const auto& [text, flags, expected] : cases) {
    EXPECT_EQ(take_names(vn::shell_expand(text, flags)), expected) << text;
  }
}

TEST_F(ShellExpand, FirstNameOfAFileName) {
  make_files({"b.c", "a.c"});
  const char* plain = "/etc/passwd";
  EXPECT_EQ(vn::expand_filename(plain), plain);
  EXPECT_STREQ(vn::expand_filename("*.c"), "a.c");
  EXPECT_STREQ(vn::expand_filename("*.none"), "");
}

// A name holding wildcard characters, handed back as it was returned, is
// still readable while it is expanded again.
TEST_F(ShellExpand, FirstNameExpandedAgain) {
  make_files({"a[1]"});
  const char* first = vn::expand_filename("a*");
  ASSERT_STREQ(first, "a[1]");
  EXPECT_STREQ(vn::expand_filename(first), "");
}

TEST_F(ShellExpand, DirectoryTreeListsFilesBelow) {
  make_files({"d/s/", "d/a", "d/s/b", "d/x.c", "d/s/y.c", "z.c"});
  fs::create_directory_symlink("..", "d/s/up");  // must not be walked round and round
  const std::string d = (dir / "d").string();
  EXPECT_EQ(vntest::take_entries(vn::expand_directory_tree(d.c_str(), vn::WILD_FILES | vn::WILD_DIRS)),
            (Strings{d + "/a", d + "/s/b", d + "/s/y.c", d + "/x.c"}));
  EXPECT_EQ(vntest::take_entries(vn::expand_directory_tree(d.c_str(), vn::WILD_FILES)), (Strings{d + "/a", d + "/x.c"}));
  // The directory part of a pattern is used, not the current directory.
  EXPECT_EQ(vntest::take_entries(vn::expand_directory_tree("d/*.c", vn::WILD_FILES)), Strings{"d/x.c"});
  EXPECT_EQ(vntest::take_entries(vn::expand_directory_tree("*.c", vn::WILD_FILES)), Strings{"z.c"});
  fs::create_directory("empty");
  EXPECT_EQ(vn::expand_directory_tree("empty", vn::WILD_FILES | vn::WILD_DIRS), nullptr);
  // An empty path is no directory, not the root.
  EXPECT_EQ(vn::expand_directory_tree("", vn::WILD_FILES | vn::WILD_DOTFILES), nullptr);
}

TEST(DollarSubstitute, ReplacesSetVariablesOnly) {
  const std::string long_name(254, 'L');
  setenv("VN_T_HOME", "/home/u", 1);
  setenv("_VN_T", "under", 1);
  setenv(long_name.c_str(), "long", 1);
  unsetenv("VN_T_UNSET");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"$VN_T_HOME/x", "/home/u/x"},
      {"cost $5", "cost $5"},
      {"a$", "a$"},
      {"\\$VN_T_HOME", "$VN_T_HOME"},
      {"x\\$VN_T_HOME$_VN_T", "x$VN_T_HOMEunder"},
      {"$VN_T_UNSET/x", "/x"},
      {"$" + long_name + "MORE/x", "long/x"},
      {"$VN_T_HOME$VN_T_HOME", "/home/u/home/u"},
      {"no dollar", "no dollar"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(vntest::take(vn::wild_dollar_substitute(text.c_str())), expected) << text;
  }
  unsetenv(long_name.c_str());
}

}  // namespace
