// Tests of the tar of zstd records: the pax writer read back as a tar
// program reads it, trees with links, converted archives, and the listing
// line of "vnpack list --contents".

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vnpack/errors.h"
#include "vnpack/pax_archive.h"
#include "vnpack/tar_listing.h"

namespace {

using vnpack::ListedEntry;
using vnpack::PaxEntry;
using vnpack::PaxType;

struct StringSink : vnpack::ByteSink {
  std::string bytes;
  void write(const void* data, size_t n) override { bytes.append(static_cast<const char*>(data), n); }
};

vnpack::PullSource source_of(const std::string& bytes) {
  auto at = std::make_shared<size_t>(0);
  return [&bytes, at](char* buf, size_t n) {
    const size_t take = std::min(n, bytes.size() - *at);
    bytes.copy(buf, take, *at);
    *at += take;
    return take;
  };
}

std::vector<ListedEntry> listed(const std::string& tar) {
  std::vector<ListedEntry> entries;
  vnpack::list_tar(source_of(tar), [&](const ListedEntry& e) { entries.push_back(e); });
  return entries;
}

std::string pax_of(const std::vector<std::pair<PaxEntry, std::string>>& items) {
  StringSink out;
  vnpack::PaxWriter pax(out);
  for (const auto& [entry, data] : items) {
    pax.add(entry);
    pax.write(data.data(), data.size());
  }
  pax.finish();
  return out.bytes;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(VnpackPax, EveryKindReadsBackWithPaxHeadersOnlyWhereUstarCannotHold) {
  const std::string split(std::string(120, 'p') + "/" + std::string(90, 'n'));  // prefix and name
  const std::string long_name(300, 'l');
  const std::vector<std::pair<PaxEntry, std::string>> items = {
      {{"d/", PaxType::dir, 0750, 0, 1000000000, ""}, ""},
      {{"d/f", PaxType::file, 04755, 3, -1, ""}, "abc"},
      {{"d/l", PaxType::symlink, 0777, 0, 5, "../" + long_name}, ""},
      {{"d/h", PaxType::hardlink, 04755, 0, 6, "d/f"}, ""},
      {{split, PaxType::file, 0644, 0, 7, ""}, ""},
      {{long_name, PaxType::file, 0600, 1, 8, ""}, "x"},
  };
  const std::string tar = pax_of(items);
  EXPECT_EQ(tar, pax_of(items));  // nothing but the entries decides the bytes
  EXPECT_EQ(tar.size() % 512, 0u);
  EXPECT_EQ(count(tar, " path="), 1u);     // the 300-byte name
  EXPECT_EQ(count(tar, "linkpath="), 1u);  // the long symbolic-link target

  const auto back = listed(tar);
  ASSERT_EQ(back.size(), items.size());
  const char types[] = {'d', '-', 'l', 'h', '-', '-'};
  for (size_t i = 0; i < items.size(); ++i) {
    const PaxEntry& want = items[i].first;
    EXPECT_EQ(back[i].name, want.name) << i;
    EXPECT_EQ(back[i].type, types[i]) << i;
    EXPECT_EQ(back[i].mode, want.mode) << i;
    EXPECT_EQ(back[i].mtime, want.mtime) << i;
    EXPECT_EQ(back[i].size, want.size) << i;
    EXPECT_EQ(back[i].link, want.target) << i;
    EXPECT_EQ(back[i].uid + back[i].gid, 0u) << i;
  }
}

TEST(VnpackPax, ListingLineIsTarTv) {
  ListedEntry e{'-', 04755, 0, 0, 1234, 0, "bin/tool", ""};
  EXPECT_EQ(vnpack::listing_line(e), "-rwsr-xr-x 0/0            1234 1970-01-01 00:00 bin/tool");
  e = {'d', 01777, 1000, 100, 0, -60, "tmp/", ""};
  EXPECT_EQ(vnpack::listing_line(e), "drwxrwxrwt 1000/100          0 1969-12-31 23:59 tmp/");
  e = {'l', 0777, 0, 0, 0, 951782400, "lib/a\nb", "x"};  // 2000-02-29
  EXPECT_EQ(vnpack::listing_line(e), "lrwxrwxrwx 0/0               0 2000-02-29 00:00 lib/a\\012b -> x");
  e = {'h', 02640, 0, 0, 0, 4102444800, "b", "a"};  // 2100-01-01
  EXPECT_EQ(vnpack::listing_line(e), "hrw-r-S--- 0/0               0 2100-01-01 00:00 b link to a");
  EXPECT_EQ(vnpack::listing_type('0'), '-');
  EXPECT_EQ(vnpack::listing_type('\0'), '-');
  EXPECT_EQ(vnpack::listing_type('5'), 'd');
  EXPECT_EQ(vnpack::listing_type('x'), '?');
}

class VnpackPaxTree : public vntest::ScratchDir {};

TEST_F(VnpackPaxTree, SharedInodesBecomeHardLinksAndTimesAreClamped) {
  ASSERT_EQ(mkdir("t", 0755), 0);
  std::ofstream("t/b") << "data";
  ASSERT_EQ(link("t/b", "t/a"), 0);
  ASSERT_EQ(link("t/b", "t/c"), 0);
  ASSERT_EQ(symlink("b", "t/s"), 0);
  const auto entries = vnpack::scan_tree("t", {false, true, std::nullopt});
  StringSink out;
  vnpack::write_pax_tree(entries, out, {false, 1000});
  const auto back = listed(out.bytes);
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(back[0].name, "a");
  EXPECT_EQ(back[0].size, 4u);
  EXPECT_EQ(back[1].type, 'h');
  EXPECT_EQ(back[1].link, "a");
  EXPECT_EQ(back[2].link, "a");
  EXPECT_EQ(back[3].type, 'l');
  EXPECT_EQ(back[3].link, "b");
  for (const auto& e : back) EXPECT_EQ(e.mtime, 1000);

  // A followed link is one more name than the file's link count.
  StringSink followed;
  vnpack::write_pax_tree(vnpack::scan_tree("t", {true, true, std::nullopt}), followed, {true, std::nullopt});
  const auto names = listed(followed.bytes);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[3].name, "s");
  EXPECT_EQ(names[3].type, 'h');
  EXPECT_EQ(names[3].link, "a");
}

TEST_F(VnpackPaxTree, EveryEntryAnArchiveCannotHoldIsNamed) {
  ASSERT_EQ(mkdir("t", 0755), 0);
  ASSERT_EQ(mkfifo("t/p1", 0644), 0);
  ASSERT_EQ(mkfifo("t/p2", 0644), 0);
  ASSERT_EQ(symlink("p1", "t/s"), 0);
  try {
    vnpack::scan_tree("t", {false, false, std::nullopt});
    FAIL() << "the FIFOs and the link were accepted";
  } catch (const vnpack::Failure& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("t/p1: is a FIFO"), std::string::npos) << text;
    EXPECT_NE(text.find("\nvnpack: t/p2: is a FIFO"), std::string::npos) << text;
    EXPECT_NE(text.find("\nvnpack: t/s: is a symbolic link"), std::string::npos) << text;
  }
}

TEST(VnpackPaxConvert, KeepsMeaningAndRefusesWhatTheInstallerWould) {
  const std::string good = pax_of({{{"/abs/f", PaxType::file, 0644, 2, 50, ""}, "hi"},
                                   {{"//abs/g", PaxType::hardlink, 0644, 0, 50, "/abs/f"}, ""}});
  StringSink out;
  const auto report = vnpack::convert_to_pax("in.tar", source_of(good), {}, out, {false, 10});
  EXPECT_EQ(report.leading_slashes_removed, 3u);
  const auto back = listed(out.bytes);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].name, "abs/f");
  EXPECT_EQ(back[0].mtime, 10);
  EXPECT_EQ(back[1].link, "abs/f");

  const std::string bad = pax_of({{{"a/../b", PaxType::file, 0644, 0, 0, ""}, ""},
                                  {{"h", PaxType::hardlink, 0644, 0, 0, "missing"}, ""}});
  StringSink ignored;
  try {
    vnpack::convert_to_pax("in.tar", source_of(bad), {}, ignored, {});
    FAIL() << "converted";
  } catch (const vnpack::Failure& e) {
    EXPECT_STREQ(e.what(),
                 "in.tar: entry 'a/../b': its name has a \"..\" component, which the installer refuses\n"
                 "vnpack: in.tar: entry 'h': is a hard link to 'missing', which is no file that comes before "
                 "it in the archive");
  }
  EXPECT_THROW(vnpack::convert_to_pax("in.tar", source_of("not an archive"), {}, ignored, {}), vnpack::Failure);
}

}  // namespace
