// Expansion of "~" and "~user". The home directory of a bare "~" is cached
// once per process, so the tests that depend on it run in a fresh process
// (death-test style "threadsafe" re-runs the test binary).
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "test_support.h"
#include "vnlib.h"

namespace {

using vntest::take;

// Exits 0 when every expansion matched, else 1 after printing the mismatch.
[[noreturn]] void exit_with(bool ok, const std::string& detail) {
  if (!ok) std::fprintf(stderr, "mismatch: %s\n", detail.c_str());
  std::exit(ok ? 0 : 1);
}

TEST(FilenameTilde, NamesWithoutTildeAreCopied) {
  EXPECT_EQ(take(vn::tilde_expand("plain/name")), "plain/name");
  EXPECT_EQ(take(vn::tilde_expand("a~b")), "a~b");
  EXPECT_EQ(take(vn::tilde_expand("")), "");
}

TEST(FilenameTilde, HomeFromEnvironmentIsCachedOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("HOME", "/home/tester", 1);
        std::string bare = take(vn::tilde_expand("~"));
        std::string slash = take(vn::tilde_expand("~/"));
        std::string sub = take(vn::tilde_expand("~/x/y"));
        setenv("HOME", "/elsewhere", 1);
        std::string later = take(vn::tilde_expand("~/z"));
        exit_with(bare == "/home/tester/" && slash == "/home/tester/" && sub == "/home/tester/x/y" &&
                      later == "/home/tester/z",
                  bare + " " + slash + " " + sub + " " + later);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FilenameTilde, UserDatabaseWhenHomeIsUnset) {
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr) GTEST_SKIP() << "no user database entry for this uid";
  std::string expected = std::string(entry->pw_dir) + "/bin";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("HOME");
        std::string got = take(vn::tilde_expand("~/bin"));
        exit_with(got == expected, got);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FilenameTilde, NamedUser) {
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr) GTEST_SKIP() << "no user database entry for this uid";
  std::string user = entry->pw_name;
  std::string home = entry->pw_dir;
  EXPECT_EQ(take(vn::tilde_expand(("~" + user).c_str())), home + "/");
  EXPECT_EQ(take(vn::tilde_expand(("~" + user + "/x").c_str())), home + "/x");
  EXPECT_EQ(take(vn::tilde_expand(("~" + user + "/").c_str())), home + "/");
}

TEST(FilenameTilde, UnknownUserStaysUnexpanded) {
  EXPECT_EQ(take(vn::tilde_expand("~nosuchuser/x")), "~nosuchuser/x");
  EXPECT_EQ(take(vn::tilde_expand("~nosuchuser")), "~nosuchuser");
}

}  // namespace
