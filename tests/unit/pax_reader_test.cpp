// The type-20 reader: header fields and extended headers, and archives of
// every entry kind unpacked whole and in pieces; replacement of what stands
// at a name; refusals and damage.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "pax.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vntest::permissions;
using vntest::slurp;

struct entry {
  entry(std::string n, char t = '0', std::string d = "", std::string l = "", const char* m = "0000644",
        std::string p = "", bool g = false, bool b = false)
      : name(std::move(n)), type(t), data(std::move(d)), link(std::move(l)), mode(m), prefix(std::move(p)), gnu(g), base256(b) {}
  std::string name;
  char type;
  std::string data;
  std::string link;
  const char* mode;
  std::string prefix;
  bool gnu;      // GNU magic: no prefix field
  bool base256;  // size in base-256
};

std::string header(const entry& e) {
  std::string h(PAX_BLOCK_SIZE, '\0');
  h.replace(0, std::min<size_t>(e.name.size(), 100), e.name.substr(0, 100));
  h.replace(100, 7, e.mode);
  std::snprintf(&h[136], 12, "%011o", 1500000000u);
  if (e.base256) {
    h[124] = static_cast<char>(0x80);
    for (size_t i = 0, size = e.data.size(); i < 8; ++i, size >>= 8) h[135 - i] = static_cast<char>(size & 0xff);
  } else {
    std::snprintf(&h[124], 12, "%011zo", e.data.size());
  }
  h[156] = e.type;
  h.replace(157, std::min<size_t>(e.link.size(), 100), e.link.substr(0, 100));
  std::memcpy(&h[257], e.gnu ? "ustar  \0" : "ustar\0" "00", 8);
  h.replace(345, e.prefix.size(), e.prefix);
  h.replace(148, 8, 8, ' ');
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  std::snprintf(&h[148], 8, "%06o", sum);
  return h;
}

std::string block(const entry& e) {
  return header(e) + e.data + std::string((PAX_BLOCK_SIZE - e.data.size() % PAX_BLOCK_SIZE) % PAX_BLOCK_SIZE, '\0');
}

// "LENGTH KEY=VALUE\n", the length counting its own digits.
std::string record(const std::string& key_value) {
  const std::string body = " " + key_value + "\n";
  size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) length = std::to_string(length).size() + body.size();
  return std::to_string(length) + body;
}

std::string pax(const std::string& records, char type = 'x') { return block({"PaxHeader", type, records}); }
const std::string END(2 * PAX_BLOCK_SIZE, '\0');

struct PaxReader : vntest::ScratchDir {
  std::string unpack(const std::string& archive, size_t piece = 0) {
    testing::internal::CaptureStdout();
    pax_writer_reset();
    if (piece == 0) piece = archive.size();
    for (size_t at = 0; at < archive.size(); at += piece) {
      pax_writer(nullptr, archive.data() + at, static_cast<int>(std::min(piece, archive.size() - at)));
      pax_writer(nullptr, archive.data() + at, 0);
    }
    finish_result = pax_writer_finish();
    return testing::internal::GetCapturedStdout();
  }
  int finish_result = -1;
};

int64_t mtime_ns(const fs::path& p) {
  struct stat st {};
  lstat(p.c_str(), &st);
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

TEST(PaxHeader, ChecksumsNamesAndTimes) {
  std::string h = header({"n", '0', "", "", "0000644", "pre/fix"});
  EXPECT_TRUE(pax_checksum_ok(reinterpret_cast<const unsigned char*>(h.data())));
  char name[PAX_NAME_LIMIT];
  EXPECT_EQ(pax_header_name(reinterpret_cast<const unsigned char*>(h.data()), name), 9u);
  EXPECT_STREQ(name, "pre/fix/n");
  h[0] = 'm';
  EXPECT_FALSE(pax_checksum_ok(reinterpret_cast<const unsigned char*>(h.data())));
  // GNU headers hold other data where ustar has the prefix.
  const std::string g = header({"n", '0', "", "", "0000644", "junk", true});
  pax_header_name(reinterpret_cast<const unsigned char*>(g.data()), name);
  EXPECT_STREQ(name, "n");
  // Base-256 times, negative ones included.
  std::string t(PAX_BLOCK_SIZE, '\0');
  t.replace(136, 12, "\x80\0\0\0\0\0\0\0\0\0\x01\x00", 12);
  EXPECT_EQ(pax_header_mtime(reinterpret_cast<const unsigned char*>(t.data())).seconds, 256);
  t.replace(136, 12, std::string(11, '\xff') + "\xfe");
  EXPECT_EQ(pax_header_mtime(reinterpret_cast<const unsigned char*>(t.data())).seconds, -2);
}

TEST(PaxHeader, ExtendedRecords) {
  pax_values v{};
  const std::string r = record("path=a/b") + record("mtime=-1.25") + record("size=12") + record("uid=7") +
                        record("linkpath=") + std::string(5, '\0');
  ASSERT_EQ(pax_parse_extended(r.data(), r.size(), &v), 0);
  EXPECT_TRUE(v.has_path && v.has_size && v.has_mtime && !v.has_linkpath);
  EXPECT_STREQ(v.path, "a/b");
  EXPECT_EQ(v.size, 12u);
  EXPECT_EQ(v.mtime.seconds, -2);
  EXPECT_EQ(v.mtime.nanoseconds, 750000000);
  for (const char* bad : {"12 path=a\n", "3 path=abc\n", "x path=a\n", "7 patha\n", "6 size=z\n"}) {
    pax_values w{};
    EXPECT_EQ(pax_parse_extended(bad, std::strlen(bad), &w), -1) << bad;
  }
  pax_values w{};
  const std::string too_long = record("path=" + std::string(PAX_NAME_LIMIT, 'a'));
  ASSERT_EQ(pax_parse_extended(too_long.data(), too_long.size(), &w), 0);
  EXPECT_TRUE(w.name_too_long && !w.has_path);
}

// Every entry kind and every way of giving a long name.
std::string kinds_archive() {
  const std::string deep = std::string(150, 'p') + "/" + std::string(120, 'q');
  return block({"d/", '5', "", "", "0000750"}) + block({"d/f", '0', "data\n"}) +
         block({"big", '0', std::string(70000, 'b'), "", "0000600", "", false, true}) +
         block({"d/sym", '2', "", "f"}) + block({"hard", '1', "", "d/f"}) +
         block({std::string(100, 'u'), '0', "ustar prefix", "", "0000644", std::string(150, 'v')}) +
         block({"././@LongLink", 'L', deep + '\0', "", "0000644", "", true}) + block({"trunc", '0', "gnu", "", "0000644", "", true}) +
         block({"././@LongLink", 'K', "d/" + std::string(110, 'w') + '\0', "", "0000644", "", true}) +
         block({"longsym", '2', "", "x", "0000777", "", true}) +
         pax(record("path=" + std::string(150, 'p') + "/r/x") + record("mtime=1234567890.5")) + block({"ignored", '0', "pax"}) +
         block({"fifo", '6'}) + END + block({"after", '0', "dropped"});
}

TEST_F(PaxReader, EveryKindWholeAndInPieces) {
  const std::string deep = std::string(150, 'p') + "/" + std::string(120, 'q');
  const std::string prefixed = std::string(150, 'v') + "/" + std::string(100, 'u');
  for (size_t piece : {0, 1, 511, 513, 4097}) {
    SCOPED_TRACE(piece);
    const fs::path sub = dir / ("p" + std::to_string(piece));
    fs::create_directory(sub);
    ASSERT_EQ(chdir(sub.c_str()), 0);
    const std::string out = unpack(kinds_archive(), piece);
    EXPECT_EQ(finish_result, 0) << out;
    EXPECT_NE(out.find("Extracting d/sym -> f .. 0 bytes\n"), std::string::npos);
    EXPECT_NE(out.find("Extracting hard link to d/f .. 0 bytes\n"), std::string::npos);
    EXPECT_NE(out.find("Skipping fifo: FIFOs are not unpacked\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 23), "Extracting  .. 0 bytes\n");
    EXPECT_EQ(slurp(sub / "d/f"), "data\n");
    EXPECT_EQ(permissions(sub / "d"), 0750u);
    EXPECT_EQ(fs::file_size(sub / "big"), 70000u);
    EXPECT_EQ(permissions(sub / "big"), 0600u);
    EXPECT_EQ(fs::read_symlink(sub / "d/sym"), "f");
    EXPECT_TRUE(fs::equivalent(sub / "hard", sub / "d/f"));
    EXPECT_EQ(slurp(sub / prefixed), "ustar prefix");
    EXPECT_EQ(slurp(sub / deep), "gnu");
    EXPECT_EQ(fs::read_symlink(sub / "longsym"), "d/" + std::string(110, 'w'));
    EXPECT_EQ(slurp(sub / std::string(150, 'p') / "r/x"), "pax");
    EXPECT_EQ(mtime_ns(sub / std::string(150, 'p') / "r/x"), 1234567890500000000);
    EXPECT_EQ(mtime_ns(sub / "d/f"), 1500000000000000000);
    // The directory's time comes after its contents.
    EXPECT_EQ(mtime_ns(sub / "d"), 1500000000000000000);
    EXPECT_FALSE(fs::exists(sub / "fifo") || fs::exists(sub / "after") || fs::exists(sub / "ignored"));
    ASSERT_EQ(chdir(dir.c_str()), 0);
  }
}

TEST_F(PaxReader, GlobalHeaderAppliesToLaterEntries) {
  unpack(pax(record("mtime=1000000000"), 'g') + block({"a", '0', "1"}) + pax(record("mtime=5")) + block({"b", '0', "2"}) +
         block({"c", '0', "3"}) + END);
  EXPECT_EQ(finish_result, 0);
  EXPECT_EQ(mtime_ns(dir / "a"), 1000000000000000000);
  EXPECT_EQ(mtime_ns(dir / "b"), 5000000000);
  EXPECT_EQ(mtime_ns(dir / "c"), 1000000000000000000);
}

TEST_F(PaxReader, EntriesReplaceWhatStands) {
  fs::create_directories(dir / "kept/inside");
  fs::create_directory(dir / "empty-dir");
  fs::create_directory(dir / "full-dir");
  std::ofstream(dir / "full-dir/x") << "x";
  std::ofstream(dir / "outside") << "keep";
  fs::create_symlink("outside", dir / "link-to-file");
  fs::create_symlink("outside", dir / "becomes-dir");
  const std::string out = unpack(block({"kept/", '5', "", "", "0000700"}) + block({"empty-dir", '0', "file now"}) +
                                 block({"link-to-file", '0', "new"}) + block({"becomes-dir/", '5'}) +
                                 block({"full-dir", '2', "", "t"}) + END);
  EXPECT_EQ(slurp(dir / "outside"), "keep");
  EXPECT_EQ(slurp(dir / "link-to-file"), "new");
  EXPECT_FALSE(fs::is_symlink(dir / "link-to-file"));
  EXPECT_EQ(slurp(dir / "empty-dir"), "file now");
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "becomes-dir")));
  EXPECT_TRUE(fs::exists(dir / "kept/inside"));
  EXPECT_EQ(permissions(dir / "kept"), 0700u);
  // A directory with contents is not removed for another entry.
  EXPECT_NE(out.find("Cannot create link full-dir: "), std::string::npos);
  EXPECT_EQ(finish_result, 1);
}

TEST_F(PaxReader, RefusalsAndDamage) {
  std::string deep;
  for (size_t i = 0; i <= PAX_DEPTH_LIMIT; ++i) deep += "d/";
  const std::string out =
      unpack(block({"/abs", '0', "a"}) + block({"/abs2", '1', "", "/abs"}) + block({"x/../../up", '0', "u"}) +
             pax(record("path=" + std::string(PAX_NAME_LIMIT, 'n'))) + block({"short", '0', "s"}) +
             pax(record("path=" + deep + "f")) + block({"deep", '0'}) + block({"ok", '0', "fine"}) + header({"bad", '0'}).replace(0, 1, "c") +
             block({"later", '0', "never"}) + END);
  EXPECT_EQ(out,
            "Removing leading '/' from entry names\n"
            "Extracting abs .. 1 bytes\n"
            "Extracting abs2 link to abs .. 0 bytes\n"
            "Refusing x/../../up: a name with a \"..\" component\n"
            "Refusing an entry whose name or link target is longer than " + std::to_string(PAX_NAME_LIMIT - 1) + " bytes\n"
            "Refusing " + deep + "f: a name of more than " + std::to_string(PAX_DEPTH_LIMIT) + " levels\n"
            "Extracting ok .. 4 bytes\n"
            "Damaged archive: a header block fails its checksum\n");
  EXPECT_EQ(finish_result, 1);
  EXPECT_TRUE(fs::equivalent(dir / "abs", dir / "abs2"));
  EXPECT_FALSE(fs::exists(dir / "short") || fs::exists(dir / "later") || fs::exists(dir / "d"));
  EXPECT_EQ(slurp(dir / "ok"), "fine");
}

TEST_F(PaxReader, ArchiveCutShort) {
  const std::string archive = block({"f", '0', std::string(1000, 'z')});
  EXPECT_EQ(unpack(archive.substr(0, 700)), "Extracting f .. 1000 bytes\nArchive ends inside file f\n");
  EXPECT_EQ(finish_result, 1);
  EXPECT_EQ(unpack(pax(record("path=p")).substr(0, 515)), "Archive ends inside an entry header\n");
  EXPECT_EQ(finish_result, 1);
}

}  // namespace
