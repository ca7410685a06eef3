// The payload search over the installer's own file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "installer.h"
#include "test_support.h"

namespace {

const std::string magic = std::string("\001Install") + "\007Magic";

// Writes content to a temporary file and returns an open descriptor.
int file_with(const std::string& content) {
  std::string path = vntest::temp_directory() + "/vn-container-XXXXXX";
  int fd = mkstemp(path.data());
  EXPECT_GE(fd, 0);
  unlink(path.c_str());
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  return fd;
}

uint32_t search(const std::string& content) {
  build_package_magic();
  int fd = file_with(content);
  uint32_t at = find_package_offset(fd, 0, static_cast<uint32_t>(content.size()));
  close(fd);
  return at;
}

TEST(PackageMagic, IsBuiltFromItsPieces) {
  build_package_magic();
  EXPECT_EQ(std::string(package_magic), magic);
}

TEST(PayloadSearch, FindsMagicAtEveryOffsetAroundChunkBoundaries) {
  for (size_t at : {0u, 1u, 500u, 1009u, 1010u, 1011u, 1015u, 1023u, 1024u, 2047u, 3000u}) {
    std::string file(at, 'x');
    file += magic + std::string(200, '\0');
    EXPECT_EQ(search(file), at) << "magic at " << at;
  }
}

TEST(PayloadSearch, SkipsLoneAndPartialMagicBytes) {
  for (size_t pad : {0u, 1000u, 1010u, 1022u}) {
    std::string file(pad, 'x');
    file += "\001\001Install\007Magi\001";
    const size_t at = file.size();
    file += magic + std::string(200, '\0');
    EXPECT_EQ(search(file), at) << "pad " << pad;
  }
}

TEST(PayloadSearch, ReportsZeroWhenAbsentOrCutShort) {
  EXPECT_EQ(search(""), 0u);
  EXPECT_EQ(search(std::string(5000, 'y')), 0u);
  EXPECT_EQ(search(std::string(1020, 'y') + magic.substr(0, 13)), 0u);
  EXPECT_EQ(search(std::string(100, 'y') + magic.substr(0, 13)), 0u);
}

TEST(PayloadSearch, StartsAtTheGivenOffset) {
  build_package_magic();
  const std::string file = magic + std::string(10, 'z') + magic;
  int fd = file_with(file);
  EXPECT_EQ(find_package_offset(fd, 1, static_cast<uint32_t>(file.size())), magic.size() + 10);
  close(fd);
}

// Offsets are 32-bit unsigned: a package beyond 2 GiB is found where it is
// (the file is sparse, so it takes no room on disk).
TEST(PayloadSearch, FindsAPackageBeyond2GiB) {
  build_package_magic();
  int fd = file_with("");
  for (uint32_t start : {0x80000000u, 0xfffff000u}) {
    const std::string tail = std::string(300, 'q') + magic + std::string(100, '\0');
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), start), static_cast<ssize_t>(tail.size()));
    EXPECT_EQ(find_package_offset(fd, start, start + static_cast<uint32_t>(tail.size())), start + 300) << start;
  }
  close(fd);
}

TEST(PayloadSearch, StopsWhenTheLimitLiesBeforeTheFileEnd) {
  // A limit below the real size (a file that shrank, or a size taken modulo
  // 2^32) must still end the search.
  build_package_magic();
  const std::string file = std::string(1020, 'a') + magic.substr(0, 10);
  int fd = file_with(file);
  EXPECT_EQ(find_package_offset(fd, 0, 4000), 0u);
  close(fd);
}

}  // namespace
