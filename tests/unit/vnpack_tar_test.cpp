// Tests of vnpack's ustar writer and the streaming tar lister that reads
// archives back for "vnpack list --contents".

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vnpack/tar_lister.h"
#include "vnpack/tar_writer.h"

namespace {

using vnpack::TAR_BLOCK;
using vnpack::TarEntry;
using vnpack::TarListEntry;
using vnpack::TarLister;

TarEntry file_entry(std::string name, uint32_t mode, uint64_t size) {
  TarEntry e;
  e.name = std::move(name);
  e.mode = mode;
  e.size = size;
  return e;
}

std::string field(const unsigned char* block, size_t at, size_t width) {
  return std::string(reinterpret_cast<const char*>(block) + at, width);
}

TEST(VnpackTarHeader, FieldsAreUstarWithAValidChecksum) {
  unsigned char block[TAR_BLOCK];
  vnpack::encode_tar_header(file_entry("dir/file.txt", 0754, 1234), block);
  EXPECT_EQ(field(block, 0, 13), std::string("dir/file.txt\0", 13));
  EXPECT_EQ(field(block, 100, 8), std::string("0000754\0", 8));
  EXPECT_EQ(field(block, 108, 16), std::string("0000000\0" "0000000\0", 16));  // uid, gid
  EXPECT_EQ(field(block, 124, 12), std::string("00000002322\0", 12));
  EXPECT_EQ(field(block, 136, 12), std::string("00000000000\0", 12));      // mtime
  EXPECT_EQ(block[156], '0');
  EXPECT_EQ(field(block, 257, 8), std::string("ustar\0" "00", 8));
  EXPECT_EQ(field(block, 265, 64), std::string(64, '\0'));  // no user or group names

  unsigned sum = 0;
  for (size_t i = 0; i < TAR_BLOCK; ++i) sum += (i >= 148 && i < 156) ? ' ' : block[i];
  char want[8];
  std::snprintf(want, sizeof want, "%06o", sum);
  EXPECT_EQ(field(block, 148, 8), std::string(want, 6) + std::string("\0 ", 2));
}

TEST(VnpackTarHeader, DirectoryAndLimits) {
  unsigned char block[TAR_BLOCK];
  TarEntry dir;
  dir.name = "sub/";
  dir.kind = vnpack::EntryKind::dir;
  dir.mode = 0700;
  vnpack::encode_tar_header(dir, block);
  EXPECT_EQ(block[156], '5');
  EXPECT_EQ(field(block, 124, 12), std::string("00000000000\0", 12));

  // A 100-byte name fills the field with no terminator; the largest size
  // takes all eleven digits.
  std::string name(100, 'n');
  vnpack::encode_tar_header(file_entry(name, 0644, vnpack::TAR_SIZE_LIMIT - 1), block);
  EXPECT_EQ(field(block, 0, 100), name);
  EXPECT_EQ(field(block, 100, 8), std::string("0000644\0", 8));
  EXPECT_EQ(field(block, 124, 12), std::string("77777777777\0", 12));
}

// An archive in memory: headers and data as write_tar lays them out.
std::vector<unsigned char> archive_of(const std::vector<std::pair<TarEntry, std::string>>& items) {
  std::vector<unsigned char> out;
  unsigned char block[TAR_BLOCK];
  for (const auto& [entry, data] : items) {
    vnpack::encode_tar_header(entry, block);
    out.insert(out.end(), block, block + TAR_BLOCK);
    out.insert(out.end(), data.begin(), data.end());
    out.resize((out.size() + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK, 0);
  }
  out.resize(out.size() + 2 * TAR_BLOCK, 0);
  return out;
}

// The lister after the archive was fed to it in pieces of the given size.
struct Listed {
  std::shared_ptr<std::vector<TarListEntry>> entries = std::make_shared<std::vector<TarListEntry>>();
  std::unique_ptr<TarLister> lister;
};

Listed list_in_pieces(const std::vector<unsigned char>& archive, size_t piece) {
  Listed out;
  auto entries = out.entries;
  out.lister = std::make_unique<TarLister>([entries](const TarListEntry& e) { entries->push_back(e); });
  for (size_t at = 0; at < archive.size(); at += piece)
    out.lister->write(archive.data() + at, std::min(piece, archive.size() - at));
  return out;
}

std::vector<unsigned char> prefix(const std::vector<unsigned char>& v, size_t n) {
  return std::vector<unsigned char>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
}

TEST(VnpackTarLister, ReadsBackWhatTheWriterWroteInAnySplit) {
  TarEntry dir;
  dir.name = "d/";
  dir.kind = vnpack::EntryKind::dir;
  dir.mode = 0755;
  auto archive = archive_of({{dir, ""},
                             {file_entry("d/a", 0600, 700), std::string(700, 'a')},
                             {file_entry("empty", 0644, 0), ""},
                             {file_entry(std::string(100, 'L'), 0755, 512), std::string(512, 'b')}});
  for (size_t piece : {size_t{1}, size_t{7}, size_t{511}, size_t{512}, size_t{4096}}) {
    Listed listed = list_in_pieces(archive, piece);
    const auto& seen = *listed.entries;
    ASSERT_EQ(seen.size(), 4u) << "piece " << piece;
    EXPECT_EQ(seen[0].name, "d/");
    EXPECT_EQ(seen[0].typeflag, '5');
    EXPECT_EQ(seen[1].name, "d/a");
    EXPECT_EQ(seen[1].mode, 0600u);
    EXPECT_EQ(seen[1].size, 700u);
    EXPECT_EQ(seen[2].size, 0u);
    EXPECT_EQ(seen[3].name, std::string(100, 'L'));
    EXPECT_TRUE(listed.lister->ended());
    EXPECT_EQ(listed.lister->problem(), "");
  }
}

TEST(VnpackTarLister, ReportsDamage) {
  auto archive = archive_of({{file_entry("a", 0644, 1000), std::string(1000, 'x')}});
  // Cut inside the data, inside a header, and at an entry boundary.
  EXPECT_EQ(list_in_pieces(prefix(archive, 700), 64).lister->problem(),
            "tar archive cut short inside an entry's data");
  EXPECT_EQ(list_in_pieces(prefix(archive, 100), 64).lister->problem(), "tar archive cut short inside a header");
  EXPECT_TRUE(list_in_pieces(prefix(archive, 1536), 64).lister->lacks_end_block());

  auto bad = archive;
  bad[10] ^= 1;  // a name byte: the checksum no longer matches
  Listed listed = list_in_pieces(bad, 512);
  EXPECT_TRUE(listed.entries->empty());
  EXPECT_EQ(listed.lister->problem(), "bad tar header checksum at archive offset 0");

  // Whatever follows the end-of-archive block is not read as entries.
  auto tail = archive;
  auto again = archive_of({{file_entry("late", 0644, 0), ""}});
  tail.insert(tail.end(), again.begin(), again.end());
  EXPECT_EQ(list_in_pieces(tail, 512).entries->size(), 1u);
}

}  // namespace
