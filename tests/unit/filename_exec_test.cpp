// The working-directory cache and the search for executables.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "test_support.h"
#include "vnlib.h"

namespace {

using vntest::take;

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Each test runs in a fresh temporary directory, left again afterwards.
class ExecSearch : public vntest::ScratchDir {
 protected:
  // Creates a file (and its directories) with the given mode; returns its
  // absolute path.
  std::string file(const std::string& name, mode_t mode, time_t mtime = 0) {
    std::filesystem::path path = dir / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    if (mtime != 0) {
      timeval times[2] = {{mtime, 0}, {mtime, 0}};
      EXPECT_EQ(utimes(path.c_str(), times), 0);
    }
    return path.string();
  }
  std::string sub(const std::string& name) const { return (dir / name).string(); }
};

TEST_F(ExecSearch, WorkingDirectoryIsCachedUntilDropped) {
  EXPECT_STREQ(vn::get_cwd(), dir.c_str());
  EXPECT_EQ(vn::get_cwd(), vn::get_cwd());
  std::filesystem::create_directory(sub("inner"));
  ASSERT_EQ(chdir("inner"), 0);
  EXPECT_STREQ(vn::get_cwd(), dir.c_str());
  vn::get_cwd_changed_directory();
  EXPECT_EQ(std::string(vn::get_cwd()), sub("inner"));
}

// A working directory longer than 1024 characters is still a real one.
TEST_F(ExecSearch, DeepWorkingDirectoryIsNamed) {
  const std::filesystem::path deep = dir / std::string(200, 'd') / std::string(200, 'e') /
                                     std::string(200, 'f') / std::string(200, 'g') / std::string(200, 'h') /
                                     std::string(200, 'i');
  std::filesystem::create_directories(deep);
  ASSERT_EQ(chdir(deep.c_str()), 0);
  vn::get_cwd_changed_directory();
  EXPECT_EQ(std::string(vn::get_cwd()), deep.string());
}

TEST_F(ExecSearch, CheckAcceptsOnlyExecutableNonDirectories) {
  file("prog", 0755);
  file("data", 0644);
  file("group-only", 0410);
  std::filesystem::create_directory(sub("dir"));
  chmod(sub("dir").c_str(), 0755);
  EXPECT_EQ(take(vn::check_exec_file("./prog")), "prog");
  EXPECT_EQ(take(vn::check_exec_file(sub("prog").c_str())), sub("prog"));
  EXPECT_EQ(take(vn::check_exec_file("group-only")), "group-only");
  EXPECT_EQ(take(vn::check_exec_file("data")), "<null>");
  EXPECT_EQ(take(vn::check_exec_file("dir")), "<null>");
  EXPECT_EQ(take(vn::check_exec_file("missing")), "<null>");
  // A FIFO without a writer is examined like any file, not waited on.
  ASSERT_EQ(mkfifo("pipe", 0755), 0);
  EXPECT_EQ(take(vn::check_exec_file("pipe")), "pipe");
}

TEST_F(ExecSearch, RelativeLinkTargetsAreFollowedFromTheLinkDirectory) {
  // Both targets also exist in the working directory with the opposite
  // mode, so following a target from the wrong directory is caught.
  file("bin/tool", 0755);
  file("tool", 0644);
  file("bin/notes", 0644);
  file("notes", 0755);
  ASSERT_EQ(symlink("tool", sub("bin/tool-link").c_str()), 0);
  ASSERT_EQ(symlink("notes", sub("bin/notes-link").c_str()), 0);
  ASSERT_EQ(symlink("tool-link", sub("bin/second-link").c_str()), 0);
  ASSERT_EQ(symlink(sub("notes").c_str(), sub("bin/absolute-link").c_str()), 0);
  EXPECT_EQ(take(vn::check_exec_file("bin/tool-link")), "bin/tool-link");
  EXPECT_EQ(take(vn::check_exec_file("bin/absolute-link")), "bin/absolute-link");
  EXPECT_EQ(take(vn::check_exec_file("bin/second-link")), "bin/second-link");
  EXPECT_EQ(take(vn::check_exec_file("bin/notes-link")), "<null>");
  // find_exec_path reports the file the links lead to.
  EXPECT_EQ(take(vn::find_exec_path(sub("bin").c_str(), "second-link")), sub("bin/tool"));
  EXPECT_EQ(take(vn::find_exec_path2(sub("bin").c_str(), "second-link")), sub("bin/second-link"));
}

TEST_F(ExecSearch, NoListNoResult) {
  std::string prog = file("prog", 0755);
  EXPECT_EQ(take(vn::find_exec_path(nullptr, "./prog")), "<null>");
  EXPECT_EQ(take(vn::find_exec_path(nullptr, prog.c_str())), "<null>");
  EXPECT_EQ(take(vn::find_exec_path(nullptr, "prog")), "<null>");
  EXPECT_EQ(vn::search_path_mtime(nullptr, "prog", nullptr), 0);
}

TEST_F(ExecSearch, NamesWithDirectoryPartAreNotSearched) {
  std::string prog = file("prog", 0755);
  file("elsewhere/prog", 0755);
  const char* list = "elsewhere";
  EXPECT_EQ(take(vn::find_exec_path2(list, "./prog")), prog);
  EXPECT_EQ(take(vn::find_exec_path2(list, "././prog")), prog);
  // Repeated delimiters keep the name relative: not "/prog".
  EXPECT_EQ(take(vn::find_exec_path2(list, ".//prog")), prog);
  EXPECT_EQ(take(vn::find_exec_path2(list, ".//.//elsewhere/prog")), sub("elsewhere/prog"));
  EXPECT_EQ(take(vn::find_exec_path2(list, prog.c_str())), prog);
  EXPECT_EQ(take(vn::find_exec_path2(list, "elsewhere/prog")), sub("elsewhere/prog"));
  EXPECT_EQ(take(vn::find_exec_path2(list, "./missing")), "<null>");
  EXPECT_EQ(take(vn::find_exec_path(list, "./elsewhere/../prog")), prog);
}

TEST_F(ExecSearch, EmptyEntriesStandForTheWorkingDirectory) {
  file("prog", 0755);
  EXPECT_EQ(take(vn::find_exec_path2("", "prog")), "prog");
  EXPECT_EQ(take(vn::find_exec_path2("/nonexistent:", "prog")), "prog");
  EXPECT_EQ(take(vn::find_exec_path2("/nonexistent::/also-not", "prog")), "prog");
  EXPECT_EQ(take(vn::find_exec_path2("/nonexistent", "prog")), "<null>");
  EXPECT_EQ(take(vn::find_exec_path("/nonexistent:", "prog")), sub("prog"));
  EXPECT_EQ(take(vn::find_exec_path(".", "prog")), sub("prog"));
}

TEST_F(ExecSearch, EntriesAreTriedInOrder) {
  file("first/prog", 0644);
  file("second/prog", 0755);
  file("third/prog", 0755);
  std::string list = sub("first") + ":" + sub("second") + ":" + sub("third");
  EXPECT_EQ(take(vn::find_exec_path(list.c_str(), "prog")), sub("second/prog"));
  EXPECT_EQ(take(vn::find_exec_path(list.c_str(), "absent")), "<null>");
}

TEST_F(ExecSearch, DirectoriesWithExecuteBitsAreNotExecutables) {
  std::filesystem::create_directories(sub("bin/prog"));
  chmod(sub("bin/prog").c_str(), 0755);
  file("later/prog", 0755);
  std::string list = sub("bin") + ":" + sub("later");
  EXPECT_EQ(take(vn::find_exec_path(list.c_str(), "prog")), sub("later/prog"));
  EXPECT_EQ(take(vn::find_exec_path(sub("bin").c_str(), "prog")), "<null>");
  EXPECT_EQ(vn::search_path_mtime(sub("bin").c_str(), "prog", nullptr), 0);
}

TEST_F(ExecSearch, QuotedEntries) {
  // Quotes are removed from the entry by the executable search; the mtime
  // search keeps them, which only the join's quote handling can undo: a
  // quoted directory with a space in it stays quoted and is not found.
  file("with space/prog", 0755, 1000000);
  file("plain/prog", 0755, 2000000);
  std::string spaced = "\"" + sub("with space") + "\"";
  // Relative to the scratch directory, so that it holds no blank wherever
  // that directory lies.
  std::string plain = "\"plain\"";
  EXPECT_EQ(take(vn::find_exec_path2(spaced.c_str(), "prog")), sub("with space/prog"));
  EXPECT_EQ(vn::search_path_mtime(spaced.c_str(), "prog", nullptr), 0);

  char* found = nullptr;
  EXPECT_EQ(vn::search_path_mtime(plain.c_str(), "prog", &found), 2000000);
  EXPECT_EQ(take(found), plain);
}

TEST_F(ExecSearch, MtimeSearchNeedsTheOwnerExecuteBit) {
  file("a/prog", 0410, 1000000);
  file("b/prog", 0700, 2000000);
  std::string list = sub("a") + ":" + sub("b");
  char* found = vn::chk_strdup("held before");  // released by the search
  EXPECT_EQ(vn::search_path_mtime(list.c_str(), "prog", &found), 2000000);
  EXPECT_EQ(take(found), sub("b"));
  EXPECT_EQ(take(vn::find_exec_path(list.c_str(), "prog")), sub("a/prog"));
}

TEST_F(ExecSearch, ExecutableMtimeOfNamesWithDirectoryPart) {
  file("dir/sub/prog", 0644, 1234567);
  char* found = nullptr;
  EXPECT_EQ(vn::find_executable_mtime("dir/sub/prog", &found), 1234567);
  EXPECT_EQ(take(found), "dir/sub");
  found = nullptr;
  EXPECT_EQ(vn::find_executable_mtime("/no-such-program-here", &found), 0);
  EXPECT_EQ(take(found), "");
  EXPECT_EQ(vn::find_executable_mtime("dir/missing", nullptr), 0);
}

TEST_F(ExecSearch, ExecutableMtimeFallsBackToVnpath) {
  file("path/tool", 0755, 1000000);
  file("vnpath/tool", 0755, 2000000);
  file("vnpath/other", 0755, 3000000);
  ScopedEnv path("PATH", sub("path").c_str());
  ScopedEnv vnpath("VNPATH", sub("vnpath").c_str());
  char* found = nullptr;
  EXPECT_EQ(vn::find_executable_mtime("tool", &found), 1000000);
  EXPECT_EQ(take(found), sub("path"));
  found = nullptr;
  EXPECT_EQ(vn::find_executable_mtime("other", &found), 3000000);
  EXPECT_EQ(take(found), sub("vnpath"));
  EXPECT_EQ(vn::find_executable_mtime("absent", nullptr), 0);
  {
    ScopedEnv no_path("PATH", nullptr);
    EXPECT_EQ(vn::find_executable_mtime("tool", nullptr), 2000000);
  }
}

}  // namespace
