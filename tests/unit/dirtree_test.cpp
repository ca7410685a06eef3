// Creating directory trees and opening files below missing directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"
#include "vnlib.h"

namespace {

// Each test runs in a fresh temporary directory under umask 022.
class DirTree : public vntest::ScratchDir {
 protected:
  // Permission bits of a directory, or -1 when it is not one.
  static int dir_mode(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return -1;
    return static_cast<int>(info.st_mode & 07777);
  }
};

TEST_F(DirTree, EmptyNameIsRefusedWithAMessage) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(vn::make_directory_tree("", 0755), -1);
  EXPECT_EQ(vn::make_directory_tree(nullptr, 0755), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "make_directory_tree: Attempting to make NULL directory\n"
            "make_directory_tree: Attempting to make NULL directory\n");
}

TEST_F(DirTree, CreatesEveryMissingParentSearchable) {
  EXPECT_EQ(vn::make_directory_tree("a/b/c", 0644), 0);
  EXPECT_EQ(dir_mode("a"), 0755);
  EXPECT_EQ(dir_mode("a/b"), 0755);
  EXPECT_EQ(dir_mode("a/b/c"), 0755);
  EXPECT_EQ(vn::make_directory_tree("a/b/c/d", 0700), 0);
  EXPECT_EQ(dir_mode("a/b/c/d"), 0711);
  EXPECT_EQ(vn::make_directory_tree("one", 0755), 0);
  EXPECT_EQ(dir_mode("one"), 0755);
}

TEST_F(DirTree, AbsoluteNames) {
  std::string target = (dir / "x/y/z").string();
  EXPECT_EQ(vn::make_directory_tree(target.c_str(), 0755), 0);
  EXPECT_EQ(dir_mode(target.c_str()), 0755);
  EXPECT_EQ(vn::make_directory_tree("/", 0755), 0);
}

TEST_F(DirTree, ExistingEntriesCountAsMade) {
  ASSERT_EQ(mkdir("have", 0700), 0);
  EXPECT_EQ(vn::make_directory_tree("have", 0755), 0);
  EXPECT_EQ(dir_mode("have"), 0700);
  std::ofstream("plain") << "data";
  EXPECT_EQ(vn::make_directory_tree("plain", 0755), 0);
  EXPECT_TRUE(std::filesystem::is_regular_file("plain"));
}

TEST_F(DirTree, FailsBelowAPlainFile) {
  std::ofstream("plain") << "data";
  EXPECT_EQ(vn::make_directory_tree("plain/sub/deeper", 0755), -1);
  EXPECT_TRUE(std::filesystem::is_regular_file("plain"));
}

TEST_F(DirTree, TrailingDelimiterAfterCreatingParents) {
  EXPECT_EQ(vn::make_directory_tree("p/q/", 0755), 0);
  EXPECT_EQ(dir_mode("p/q"), 0755);
  EXPECT_EQ(vn::make_directory_tree("p/q/", 0755), 0);
  EXPECT_EQ(vn::make_directory_tree("r//s//", 0755), 0);
  EXPECT_EQ(dir_mode("r/s"), 0755);
  // An existing plain file under that name is not a directory made.
  std::ofstream("p/file") << "data";
  EXPECT_EQ(vn::make_directory_tree("p/file/x/", 0755), -1);
}

TEST_F(DirTree, PathIsRestoredAfterCutting) {
  char path[] = "m/n/o/file";
  EXPECT_EQ(vn::make_directory_tree2(path, 0755), 0);
  EXPECT_STREQ(path, "m/n/o/file");
  EXPECT_EQ(dir_mode("m/n/o"), 0755);
  EXPECT_FALSE(std::filesystem::exists("m/n/o/file"));

  char existing[] = "m/n/other";
  EXPECT_EQ(vn::make_directory_tree2(existing, 0755), 0);
  EXPECT_STREQ(existing, "m/n/other");

  char no_delimiter[] = "file";
  EXPECT_EQ(vn::make_directory_tree2(no_delimiter, 0755), -1);
  EXPECT_STREQ(no_delimiter, "file");

  char under_root[] = "/file";
  EXPECT_EQ(vn::make_directory_tree2(under_root, 0755), 0);
  EXPECT_STREQ(under_root, "/file");

  std::ofstream("blocker") << "data";
  char blocked[] = "blocker/a/b/file";
  EXPECT_EQ(vn::make_directory_tree2(blocked, 0755), -1);
  EXPECT_STREQ(blocked, "blocker/a/b/file");
}

TEST_F(DirTree, MkdirOpenCreatesParents) {
  int fd = vn::mkdir_open("d1/d2/f", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(dir_mode("d1"), 0755);
  EXPECT_EQ(dir_mode("d1/d2"), 0755);
  struct stat info {};
  ASSERT_EQ(stat("d1/d2/f", &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // An existing file opens at the first attempt.
  fd = vn::mkdir_open("d1/d2/f", O_RDONLY, 0644);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST_F(DirTree, MkdirOpenFailures) {
  errno = 0;
  EXPECT_EQ(vn::mkdir_open("missing", O_RDONLY, 0644), -1);
  EXPECT_EQ(errno, ENOENT);
  std::ofstream("plain") << "data";
  EXPECT_EQ(vn::mkdir_open("plain/sub/f", O_WRONLY | O_CREAT, 0644), -1);
  // Creating the directories does not make a missing file appear.
  EXPECT_EQ(vn::mkdir_open("e1/e2/f", O_RDONLY, 0644), -1);
  EXPECT_EQ(dir_mode("e1/e2"), 0755);
}

TEST_F(DirTree, MkdirFopenCreatesParents) {
  FILE* stream = vn::mkdir_fopen("g1/g2/file.txt", "w", 0700);
  ASSERT_NE(stream, nullptr);
  std::fputs("text", stream);
  std::fclose(stream);
  EXPECT_EQ(dir_mode("g1"), 0711);
  EXPECT_EQ(dir_mode("g1/g2"), 0711);
  EXPECT_EQ(std::filesystem::file_size("g1/g2/file.txt"), 4u);
  EXPECT_EQ(vn::mkdir_fopen("nodir", "r", 0755), nullptr);
}

}  // namespace
