// The tar writer: entries unpacked from a synthetic archive, fed whole and in
// pieces of awkward sizes; header number fields; failing entries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive.h"
#include "installer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// One 512-byte header block with the fields the writer reads.
std::string tar_header(const std::string& name, const char* mode, const char* size, char type = '0') {
  std::string h(TAR_BLOCK_SIZE, '\0');
  h.replace(0, std::min<size_t>(name.size(), 100), name.substr(0, 100));
  h.replace(100, std::strlen(mode), mode);
  h.replace(124, std::strlen(size), size);
  h[156] = type;
  h.replace(257, 6, std::string("ustar\0", 6));
  return h;
}

std::string octal(uint64_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%011llo", static_cast<unsigned long long>(v));
  return buf;
}

std::string padded(const std::string& data) {
  const size_t partial = data.size() % TAR_BLOCK_SIZE;
  return partial == 0 ? data : data + std::string(TAR_BLOCK_SIZE - partial, '\0');
}

std::string file_entry(const std::string& name, const std::string& data, const char* mode = "0000644") {
  return tar_header(name, mode, octal(data.size()).c_str()) + padded(data);
}

std::string end_of_archive() { return std::string(2 * TAR_BLOCK_SIZE, '\0'); }

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return s;
}

const std::string NAME_100 = std::string(60, 'n') + "/" + std::string(39, 'm');

// Files in nested directories without directory entries, a directory entry,
// size-0 and link entries, a 100-byte name, data of exactly one block, and an
// entry behind the end-of-archive block that must be ignored.
std::string sample_archive() {
  return file_entry("top/mid/deep.bin", pattern(1000, 1)) +
         tar_header("dir/", "0000700", octal(0).c_str(), '5') +
         file_entry("empty", "", "0000600") +
         tar_header("lnk", "0000777", octal(0).c_str(), '2') +
         file_entry(NAME_100, pattern(513, 2), "0000755") +
         file_entry("block", pattern(512, 3)) +
         end_of_archive() + file_entry("after", "ignored");
}

const char* const SAMPLE_OUTPUT =
    "Extracting top/mid/deep.bin .. 1000 bytes\n"
    "Extracting dir/ .. 0 bytes\n"
    "Extracting empty .. 0 bytes\n"
    "Extracting lnk .. 0 bytes\n"
    "Extracting nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn/"
    "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm .. 513 bytes\n"
    "Extracting block .. 512 bytes\n"
    "Extracting  .. 0 bytes\n";

using vntest::permissions;
using vntest::slurp;

struct TarWriter : vntest::ScratchDir {
  void TearDown() override {
    tar_writer_reset();
    ScratchDir::TearDown();
  }
  // Feeds the archive in pieces of the given size (0: whole); returns what
  // the writer printed and sets finish_result.
  std::string unpack(const std::string& archive, size_t piece = 0) {
    testing::internal::CaptureStdout();
    tar_writer_reset();
    if (piece == 0) piece = archive.size();
    for (size_t at = 0; at < archive.size(); at += piece) {
      const size_t n = std::min(piece, archive.size() - at);
      tar_writer(nullptr, archive.data() + at, static_cast<int>(n));
      tar_writer(nullptr, archive.data() + at, 0);  // empty pieces change nothing
    }
    finish_result = tar_writer_finish();
    return testing::internal::GetCapturedStdout();
  }
  int finish_result = -1;
};

void expect_sample_tree(const fs::path& root) {
  EXPECT_EQ(slurp(root / "top/mid/deep.bin"), pattern(1000, 1));
  EXPECT_EQ(permissions(root / "top/mid/deep.bin"), 0644u);
  // Parents made from a file's name get the file's mode plus execute bits.
  EXPECT_EQ(permissions(root / "top/mid"), 0755u);
  EXPECT_TRUE(fs::is_directory(root / "dir"));
  EXPECT_EQ(permissions(root / "dir"), 0711u);  // directories always get execute bits
  EXPECT_TRUE(fs::is_regular_file(root / "empty"));
  EXPECT_EQ(fs::file_size(root / "empty"), 0u);
  EXPECT_EQ(permissions(root / "empty"), 0600u);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root / "lnk")));
  EXPECT_EQ(fs::file_size(root / "lnk"), 0u);
  EXPECT_EQ(slurp(root / NAME_100), pattern(513, 2));
  EXPECT_EQ(permissions(root / NAME_100), 0755u);
  EXPECT_EQ(slurp(root / "block"), pattern(512, 3));
  EXPECT_FALSE(fs::exists(root / "after"));
}

TEST_F(TarWriter, UnpacksWholeArchive) {
  EXPECT_EQ(unpack(sample_archive()), SAMPLE_OUTPUT);
  EXPECT_EQ(finish_result, 0);
  expect_sample_tree(dir);
}

TEST_F(TarWriter, PiecesOfAnySizeGiveTheSameResult) {
  for (size_t piece : {1, 7, 100, 511, 512, 513, 1000, 4096, 4097}) {
    SCOPED_TRACE(piece);
    const fs::path sub = dir / ("p" + std::to_string(piece));
    fs::create_directory(sub);
    ASSERT_EQ(chdir(sub.c_str()), 0);
    EXPECT_EQ(unpack(sample_archive(), piece), SAMPLE_OUTPUT);
    EXPECT_EQ(finish_result, 0);
    expect_sample_tree(sub);
    ASSERT_EQ(chdir(dir.c_str()), 0);
  }
}

TEST_F(TarWriter, UnparsableNumbersGiveZeroSizeAndMode) {
  const std::string archive = tar_header("odd", "xyz", "  -12") + file_entry("next", "data") + end_of_archive();
  EXPECT_EQ(unpack(archive), "Extracting odd .. 0 bytes\nExtracting next .. 4 bytes\nExtracting  .. 0 bytes\n");
  EXPECT_EQ(finish_result, 0);
  EXPECT_TRUE(fs::is_regular_file(dir / "odd"));
  EXPECT_EQ(permissions(dir / "odd"), 0u);
  EXPECT_EQ(slurp(dir / "next"), "data");
}

TEST_F(TarWriter, ExistingDirectoryEntryIsNoFailure) {
  fs::create_directories(dir / "a/b");
  unpack(tar_header("a/b/", "0000755", octal(0).c_str(), '5') + end_of_archive());
  EXPECT_EQ(finish_result, 0);
}

// Read-only directories must not lock out what the archive puts in them
// (only a user other than root would see the failure): new ones, explicit
// or made for a read-only file, are filled first and get their modes when
// the archive ends. An existing one is untouched.
TEST_F(TarWriter, ReadOnlyDirectoriesAreFilledFirst) {
  fs::create_directory(dir / "old");
  fs::permissions(dir / "old", fs::perms(0750));
  const std::string archive = tar_header("ro/", "0000555", octal(0).c_str(), '5') + file_entry("ro/f", "in ro") +
                              tar_header("old/", "0000500", octal(0).c_str(), '5') +
                              file_entry("imp/x", "x", "0000444") + file_entry("imp/y", "y") + end_of_archive();
  tar_writer_reset();
  testing::internal::CaptureStdout();
  tar_writer(nullptr, archive.data(), static_cast<int>(archive.size()));
  EXPECT_EQ(permissions(dir / "ro"), 0755u);  // writable while the archive runs
  EXPECT_EQ(tar_writer_finish(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(permissions(dir / "ro"), 0555u);
  EXPECT_EQ(slurp(dir / "ro/f"), "in ro");
  EXPECT_EQ(permissions(dir / "old"), 0750u);
  EXPECT_EQ(permissions(dir / "imp"), 0555u);
  EXPECT_EQ(slurp(dir / "imp/y"), "y");
  for (const char* d : {"ro", "imp"}) fs::permissions(dir / d, fs::perms(0755));  // so that the scratch can go
}

// More read-only directories than any fixed table would hold, each with a
// file put in after it was made.
TEST_F(TarWriter, ManyReadOnlyDirectoriesAreAllFilled) {
  constexpr int COUNT = 1030;
  std::string archive;
  for (int i = 0; i < COUNT; ++i) {
    const std::string d = "r" + std::to_string(i);
    archive += tar_header(d + "/", "0000500", octal(0).c_str(), '5') + file_entry(d + "/f", d);
  }
  unpack(archive + end_of_archive());
  EXPECT_EQ(finish_result, 0);
  for (int i = 0; i < COUNT; i += 343) {
    const std::string d = "r" + std::to_string(i);
    EXPECT_EQ(slurp(dir / d / "f"), d);
    EXPECT_EQ(permissions(dir / d), 0511u);  // with the execute bits of every directory
  }
  for (int i = 0; i < COUNT; ++i) fs::permissions(dir / ("r" + std::to_string(i)), fs::perms(0755));
}

// A file gets exactly the archive's mode whatever the umask, whether it is
// new or replaces one, and its parents are made when it needs them.
TEST_F(TarWriter, FileModesAreExactWhateverTheUmask) {
  const mode_t saved = umask(027);
  std::FILE* old = std::fopen("c", "w");
  ASSERT_NE(old, nullptr);
  std::fputs("old content", old);
  std::fclose(old);
  chmod("c", 0600);
  unpack(file_entry("a", "a", "0000644") + file_entry("b", "b", "0000750") + file_entry("c", "c", "0000644") +
         file_entry("new/sub/d", "d", "0004755") + end_of_archive());
  umask(saved);
  EXPECT_EQ(finish_result, 0);
  EXPECT_EQ(permissions(dir / "a"), 0644u);
  EXPECT_EQ(permissions(dir / "b"), 0750u);
  EXPECT_EQ(permissions(dir / "c"), 0644u);
  EXPECT_EQ(slurp(dir / "c"), "c");
  EXPECT_EQ(permissions(dir / "new/sub/d"), 04755u);
  EXPECT_EQ(permissions(dir / "new/sub"), 0750u);  // the file's mode, execute bits, the umask
}

TEST_F(TarWriter, ArchiveEndingInsideAnEntryIsCounted) {
  const std::string entry = file_entry("cut", pattern(2000, 5));
  EXPECT_EQ(unpack(entry.substr(0, 1000)), "Extracting cut .. 2000 bytes\nArchive ends inside file cut\n");
  EXPECT_EQ(finish_result, 1);
  EXPECT_EQ(slurp(dir / "cut"), pattern(488, 5));

  EXPECT_EQ(unpack(entry.substr(0, 300)), "Archive ends inside an entry header\n");
  EXPECT_EQ(finish_result, 1);

  // Without end-of-archive blocks, an archive that ends between entries is whole.
  unpack(entry);
  EXPECT_EQ(finish_result, 0);
}

TEST_F(TarWriter, SizesOf4GiBAndMoreAreNotTruncated) {
  // 2^32 + 10 bytes: a 32-bit count would see 10 and end the entry early.
  const std::string huge = tar_header("huge", "0000644", octal((1ull << 32) + 10).c_str());
  EXPECT_EQ(unpack(huge + pattern(10, 6)), "Extracting huge .. 4294967306 bytes\nArchive ends inside file huge\n");
  EXPECT_EQ(finish_result, 1);
}

TEST(TarHeaderNumbers, Octal) {
  auto parse = [](const char* text, size_t width) {
    return tar_parse_octal(reinterpret_cast<const unsigned char*>(text), width);
  };
  EXPECT_EQ(parse("0000644\0", 8), 0644u);
  EXPECT_EQ(parse("  755 \0", 8), 0755u);
  EXPECT_EQ(parse("\0\0\0", 3), 0u);
  EXPECT_EQ(parse("9", 1), 0u);
  // A field full of digits ends at its own end, not in the next field.
  EXPECT_EQ(parse("777777777777123", 12), 0777777777777u);
}

TEST(TarHeaderNumbers, BaseTwoFiftySixSize) {
  unsigned char field[12] = {0x80};
  field[7] = 0x02;  // 2 << 32 = 8 GiB
  field[11] = 0x05;
  EXPECT_EQ(tar_parse_size(field, 12), (2ull << 32) + 5);
  unsigned char three_gib[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 0xc0, 0, 0, 0};
  EXPECT_EQ(tar_parse_size(three_gib, 12), 3ull << 30);
  unsigned char negative[12] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe};
  EXPECT_EQ(tar_parse_size(negative, 12), 0u);
  unsigned char too_big[12] = {0x80, 0x01};
  EXPECT_EQ(tar_parse_size(too_big, 12), UINT64_MAX);
  EXPECT_EQ(tar_parse_size(reinterpret_cast<const unsigned char*>("00000001750\0"), 12), 1000u);
}

TEST_F(TarWriter, BaseTwoFiftySixSizeInAHeader) {
  std::string h = tar_header("b256", "0000644", "");
  const unsigned char size_field[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02};
  h.replace(124, 12, reinterpret_cast<const char*>(size_field), 12);
  EXPECT_EQ(unpack(h + padded(pattern(258, 7)) + end_of_archive()),
            "Extracting b256 .. 258 bytes\nExtracting  .. 0 bytes\n");
  EXPECT_EQ(slurp(dir / "b256"), pattern(258, 7));
}

}  // namespace
