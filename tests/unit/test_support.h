// Helpers shared by the unit tests: reading back new strings and files, and
// a fixture that runs each test in a scratch directory of its own.
#ifndef VN_TESTS_UNIT_TEST_SUPPORT_H
#define VN_TESTS_UNIT_TEST_SUPPORT_H

#include <bzlib.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "bz2_blocks.h"
#include "vnlib.h"

namespace vntest {

// The text of a new string, which is released; null reads as "<null>".
inline std::string take(char* text) {
  if (text == nullptr) return "<null>";
  std::string result(text);
  vn::chk_free(text);
  return result;
}

// The names of a glob result in order; every name and the array are
// released. A null result reads as no names.
inline std::vector<std::string> take_entries(vn::glob_entry* entries) {
  std::vector<std::string> names;
  if (entries == nullptr) return names;
  for (vn::glob_entry* entry = entries; entry->ge_name != nullptr; ++entry) names.push_back(take(entry->ge_name));
  vn::chk_free(entries);
  return names;
}

// The whole content of a file; empty when it cannot be read.
inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Permission bits (with set-id and sticky bits) of a file; 0 when it is missing.
inline mode_t permissions(const std::filesystem::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Where scratch files go: TMPDIR when it is set, as for mktemp, else /tmp.
inline std::string temp_directory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// Each test runs in a fresh directory under the temporary directory, which
// is its working directory for the test and is removed with everything in
// it afterwards. `dir` is its real path, as the working directory reports
// it. The test runs under umask 022, as the installer does, whatever the
// umask of the one running the tests.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char original[PATH_MAX];
    ASSERT_NE(getcwd(original, sizeof original), nullptr);
    original_cwd_ = original;
    old_umask_ = umask(022);
    std::string pattern = temp_directory() + "/vn-unit-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    char* real = realpath(pattern.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    dir = real;
    free(real);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    vn::get_cwd_changed_directory();
  }

  void TearDown() override {
    umask(old_umask_);
    if (!original_cwd_.empty()) {
      EXPECT_EQ(chdir(original_cwd_.c_str()), 0);
      vn::get_cwd_changed_directory();
    }
    if (dir.empty()) return;
    make_directories_writable();
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    EXPECT_FALSE(error) << "removing " << dir << ": " << error.message();
  }

  std::filesystem::path dir;

 private:
  // A directory the test left without write or search permission would keep
  // its entries from being removed (when not running as root). Each one is
  // opened up before the iterator descends into it.
  void make_directories_writable() const {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
      if (it->is_directory(error) && !it->is_symlink(error))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
      error.clear();
    }
  }

  std::string original_cwd_;
  mode_t old_umask_ = 022;
};

// data as one bzip2 stream, compressed by libbz2 at the given level.
inline std::string bz2_compress(const std::string& data, int block_size_100k = 1) {
  std::string out(data.size() + data.size() / 100 + 1024, '\0');
  auto length = static_cast<unsigned>(out.size());
  const int ret = BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(data.data()),
                                           static_cast<unsigned>(data.size()), block_size_100k, 0, 0);
  EXPECT_EQ(ret, BZ_OK);
  out.resize(length);
  return out;
}

// The markers that start in bytes [0, to) of p (bytes up to
// to + BZ2_MARKER_SPAN - 1 must exist), in order.
inline std::vector<bz2_marker> bz2_markers(const unsigned char* p, size_t to) {
  std::vector<bz2_marker> found;
  bz2_find_markers(p, 0, to, [](void* v, bz2_marker m) { static_cast<std::vector<bz2_marker>*>(v)->push_back(m); },
                   &found);
  return found;
}

// Text of numbers in lines, compressible like prose.
inline std::string text(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i) s += std::to_string(i * 7919 % 100003) + (i % 13 ? " " : "\n");
  s.resize(n);
  return s;
}

// Poorly compressible bytes, so that a few hundred KB span several blocks.
inline std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

}  // namespace vntest

#endif  // VN_TESTS_UNIT_TEST_SUPPORT_H
