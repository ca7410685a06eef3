// File-name primitives: conventions, components, joins, quotes, list splitting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "vnlib.h"

namespace {

using vntest::take;

// The text from a pointer into an argument; null reads as "<null>".
std::string at(const char* p) { return p != nullptr ? p : "<null>"; }

TEST(FilenameConventions, DelimiterAndAbsoluteNames) {
  EXPECT_EQ(vn::filename_is_delim('/'), 1);
  EXPECT_EQ(vn::filename_is_delim('\\'), 0);
  EXPECT_EQ(vn::filename_is_delim('\0'), 0);
  EXPECT_EQ(vn::is_absolute("/x"), 1);
  EXPECT_EQ(vn::is_absolute("x/"), 0);
  EXPECT_EQ(vn::is_absolute(""), 0);
  EXPECT_STREQ(vn::filename_delimiter(), "/");
  EXPECT_STREQ(vn::filename_path_delimiter(), ":");
}

TEST(FilenameConventions, MonocaseFlagDoesNotFoldComparisons) {
  EXPECT_EQ(vn::filename_monocase_enable(1), 1);
  EXPECT_EQ(vn::filename_monocase_enable(-1), 1);
  EXPECT_NE(vn::filename_strcmp("File", "file"), 0);
  EXPECT_EQ(vn::filename_monocase_enable(0), 0);
  EXPECT_EQ(vn::filename_strcmp("file", "file"), 0);
}

TEST(FilenameComponents, FirstLastAndNth) {
  const char* name = "a/b/c/d/e";
  EXPECT_EQ(vn::filename_first_component(name), name + 1);
  EXPECT_EQ(vn::filename_last_component(name), name + 7);
  EXPECT_EQ(vn::filename_first_component("plain"), nullptr);
  EXPECT_EQ(vn::filename_last_component("plain"), nullptr);

  EXPECT_EQ(vn::filename_nth_first_component(name, 0), name + 1);
  EXPECT_EQ(vn::filename_nth_first_component(name, 2), name + 3);
  EXPECT_EQ(vn::filename_nth_first_component(name, 4), name + 7);
  EXPECT_EQ(vn::filename_nth_first_component(name, 5), nullptr);

  EXPECT_EQ(vn::filename_nth_last_component(name, -3), name + 7);
  EXPECT_EQ(vn::filename_nth_last_component(name, 2), name + 5);
  EXPECT_EQ(vn::filename_nth_last_component(name, 4), name + 1);
  EXPECT_EQ(vn::filename_nth_last_component(name, 5), nullptr);

  char writable[] = "x/y";
  char* last = vn::filename_last_component(writable);
  ASSERT_EQ(last, writable + 1);
  *last = '\0';  // callers cut names in place through these results
  EXPECT_STREQ(writable, "x");
}

TEST(FilenameComponents, Extensions) {
  EXPECT_EQ(at(vn::filename_extension("archive.tar.gz")), "gz");
  EXPECT_EQ(at(vn::filename_extension("a.b/c")), "<null>");
  EXPECT_EQ(at(vn::filename_extension("file.")), "");
  EXPECT_EQ(at(vn::filename_extension(".profile")), "profile");
  EXPECT_EQ(at(vn::filename_extension("noext")), "<null>");
  EXPECT_EQ(at(vn::filename_extension("")), "<null>");

  EXPECT_EQ(at(vn::file_extension("archive.tar.gz")), ".gz");
  EXPECT_EQ(at(vn::file_extension("dir.d/file")), "<null>");
  EXPECT_EQ(at(vn::file_extension("dir/file.c")), ".c");
}

TEST(FilenameComponents, Basename) {
  EXPECT_EQ(at(vn::basename("a/b")), "b");
  EXPECT_EQ(at(vn::basename("a/b/")), "");
  EXPECT_EQ(at(vn::basename("x")), "x");
  EXPECT_EQ(at(vn::basename("/x")), "x");
  EXPECT_EQ(at(vn::filename_basename("dir/sub/file.c")), "file.c");
  const char* name = "p/q";
  EXPECT_EQ(vn::basename(name), name + 2);
}

TEST(FilenameComponents, Dirname) {
  const char* name = "a/b/c";
  EXPECT_EQ(take(vn::dirname(name)), "a/b");
  EXPECT_STREQ(name, "a/b/c");
  EXPECT_EQ(take(vn::dirname("a/b/")), "a/b");
  EXPECT_EQ(take(vn::dirname("/x")), "/");
  EXPECT_EQ(take(vn::dirname("/")), "/");
  EXPECT_EQ(take(vn::dirname("x")), ".");
  EXPECT_EQ(take(vn::filename_dirname("dir/file")), "dir");
}

TEST(FilenameComponents, DirnameLessComponents) {
  EXPECT_EQ(take(vn::filename_dirname2("a/b/c", 1)), "a/b");
  EXPECT_EQ(take(vn::filename_dirname2("a/b/c", 2)), "a");
  EXPECT_EQ(take(vn::filename_dirname2("a/b/c", 3)), ".");
  EXPECT_EQ(take(vn::filename_dirname2("a/b/", 1)), "a/b");
  EXPECT_EQ(take(vn::filename_dirname2("a//b", 1)), "a/");
  EXPECT_EQ(take(vn::filename_dirname2("x", 1)), ".");
  EXPECT_EQ(take(vn::filename_dirname2("", 1)), ".");
  // Absolute names stop at the root; removing nothing keeps the name.
  EXPECT_EQ(take(vn::filename_dirname2("/x", 1)), "/");
  EXPECT_EQ(take(vn::filename_dirname2("/a/b", 2)), "/");
  EXPECT_EQ(take(vn::filename_dirname2("/a/b", 5)), "/");
  EXPECT_EQ(take(vn::filename_dirname2("a/b", 0)), "a/b");
}

TEST(FilenameJoin, EdgeCases) {
  EXPECT_EQ(take(vn::filename_append_filename("", "x")), "x");
  EXPECT_EQ(take(vn::filename_append_filename("d", "/x")), "/x");
  EXPECT_EQ(take(vn::filename_append_filename("d", "")), "d");
  EXPECT_EQ(take(vn::filename_append_filename("d/", "x")), "d/x");
  EXPECT_EQ(take(vn::filename_append_filename("d\\", "x")), "d\\x");
  EXPECT_EQ(take(vn::filename_append_filename("d", "x")), "d/x");
  EXPECT_EQ(take(vn::filename_append_filename("/", "x")), "/x");
}

TEST(FilenameJoin, QuotesAreNormalisedOnlyWhenJoining) {
  EXPECT_EQ(take(vn::filename_append_filename("my dir", "\"file name\"")), "\"my dir/file name\"");
  EXPECT_EQ(take(vn::filename_append_filename("\"d\"", "x")), "d/x");
  EXPECT_EQ(take(vn::filename_append_filename("my dir", "x")), "my dir/x");
  // A name that is taken as it stands keeps its quotes.
  EXPECT_EQ(take(vn::filename_append_filename("", "\"x\"")), "\"x\"");
  EXPECT_EQ(take(vn::filename_append_filename("\"d\"", "")), "\"d\"");
}

TEST(StringNormalizeQuotes, RemovesQuotesAndEnclosesTextsWithSpaces) {
  EXPECT_EQ(take(vn::string_normalize_quotes("word \"a phrase\"")), "\"word a phrase\"");
  EXPECT_EQ(take(vn::string_normalize_quotes("\"word\"")), "word");
  EXPECT_EQ(take(vn::string_normalize_quotes("a b")), "a b");
  EXPECT_EQ(take(vn::string_normalize_quotes("\"\"")), "");
  EXPECT_EQ(take(vn::string_normalize_quotes("\" \"")), "\" \"");
  EXPECT_EQ(take(vn::string_normalize_quotes("")), "");
}

// Every entry of a whole scan of text split at sep.
std::vector<std::string> split(const char* text, int sep = ':') {
  std::string copy = text;
  std::vector<std::string> entries;
  for (char* e = vn::path_list_token(copy.data(), sep); e != nullptr; e = vn::path_list_token(nullptr, sep)) {
    entries.emplace_back(e);
  }
  return entries;
}

TEST(PathListToken, KeepsEmptyEntries) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split("a::b"), (V{"a", "", "b"}));
  EXPECT_EQ(split("a:"), (V{"a", ""}));
  EXPECT_EQ(split(":a"), (V{"", "a"}));
  EXPECT_EQ(split(""), (V{""}));
  EXPECT_EQ(split("/bin:/usr/bin"), (V{"/bin", "/usr/bin"}));
  EXPECT_EQ(split("a;b:c", ';'), (V{"a", "b:c"}));
  // The scan has ended: continuing gives nothing.
  EXPECT_EQ(vn::path_list_token(nullptr, ':'), nullptr);
}

}  // namespace
