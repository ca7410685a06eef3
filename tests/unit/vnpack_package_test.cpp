// Tests of vnpack's package side: the payload search, building through the
// library, and list/verify on damaged files (they must always end, without
// a crash, and call damage damage).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "test_support.h"
#include "vnpack/errors.h"
#include "vnpack/package_commands.h"
#include "vnpack/package_builder.h"
#include "vnpack/package_format.h"
#include "vnpack/package_reader.h"
#include "vnlib.h"

namespace {

class VnpackPackage : public vntest::ScratchDir {
 protected:
  std::string path(const std::string& name) const { return (dir / name).string(); }

  void put(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string get(const std::string& name) const { return vntest::slurp(path(name)); }

  // Builds "setup" from a stub, two env records and an archive of a tree.
  void build_sample() {
    put("stub", "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(mkdir(path("tree").c_str(), 0755), 0);
    put("tree/file", std::string(3000, 'q'));
    vnpack::BuildRequest req;
    req.output = path("setup");
    req.stub = path("stub");
    auto item = [](vnpack::BuildItem::Kind kind, std::string value) {
      vnpack::BuildItem i;
      i.kind = kind;
      i.value = std::move(value);
      return i;
    };
    req.items = {item(vnpack::BuildItem::Kind::env, "A=1"), item(vnpack::BuildItem::Kind::archive, path("tree")),
                 item(vnpack::BuildItem::Kind::env, "B=2")};
    vnpack::build_installer(req, "vnpack");
  }

  // list's exit status, its report thrown away.
  int list_status(const std::string& name, bool contents) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    int status = 1;
    try {
      status = vnpack::list_installer({path(name), contents}, sink);
    } catch (const vnpack::Failure&) {
      status = 1;
    }
    std::fclose(sink);
    return status;
  }

  bool verifies(const std::string& name) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    bool ok = true;
    try {
      vnpack::verify_installer({path(name), {}}, sink);
    } catch (const vnpack::Failure&) {
      ok = false;
    }
    std::fclose(sink);
    return ok;
  }
};

TEST_F(VnpackPackage, FindsTheMagicAcrossReadChunks) {
  const std::string& magic = vnpack::package_magic();
  ASSERT_EQ(magic.size(), vnpack::MAGIC_LENGTH);
  // Straddling the 64 KiB read boundary at every split point; a lone first
  // byte and a near miss before it do not stop the search.
  for (size_t split = 1; split < magic.size(); ++split) {
    std::string bytes(vnpack::IO_CHUNK - split, 'x');
    bytes[100] = '\001';
    bytes.replace(200, magic.size(), magic.substr(0, magic.size() - 1) + "!");
    bytes += magic + std::string(10, 'y');
    put("f", bytes);
    vnpack::Fd fd = vnpack::open_for_reading(path("f"));
    auto at = vnpack::find_magic(fd.get(), path("f"));
    ASSERT_TRUE(at.has_value()) << "split " << split;
    EXPECT_EQ(*at, vnpack::IO_CHUNK - split);
  }
  put("none", std::string(200000, '\001'));
  vnpack::Fd fd = vnpack::open_for_reading(path("none"));
  EXPECT_FALSE(vnpack::find_magic(fd.get(), path("none")).has_value());
}

TEST_F(VnpackPackage, BuildWritesHeaderSizeAndRecordsInOrder) {
  build_sample();
  std::string bytes = get("setup");
  const size_t payload = 17;  // the stub's length
  ASSERT_EQ(bytes.compare(0, payload, get("stub")), 0);
  const auto* h = reinterpret_cast<const unsigned char*>(bytes.data() + payload);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 15), vnpack::package_magic() + '\0');
  EXPECT_EQ(vn::LGET32(h + vnpack::HEADER_SIZE_OFFSET), bytes.size() - payload);
  for (size_t i = 32; i < vnpack::PACKAGE_HEADER_SIZE; ++i) EXPECT_EQ(h[i], 0) << "header byte " << i;
  const auto* r = h + vnpack::PACKAGE_HEADER_SIZE;
  EXPECT_EQ(vn::LGET32(r), 4u);
  EXPECT_EQ(r[4], vnpack::RECORD_ENV);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r) + 5, 4), std::string("A=1\0", 4));
  EXPECT_EQ(r[9 + 4], vnpack::RECORD_ARCHIVE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r) + 9 + 5, 3), "BZh");
  EXPECT_TRUE(verifies("setup"));
  EXPECT_EQ(list_status("setup", true), 0);

  struct stat st {};
  ASSERT_EQ(stat(path("setup").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
}

TEST_F(VnpackPackage, DamagedCopiesAreReportedAndNeverHang) {
  build_sample();
  const std::string good = get("setup");
  std::mt19937 rng(20240517);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    switch (round % 3) {
      case 0:  // cut short anywhere
        bad.resize(rng() % good.size());
        break;
      case 1:  // a few random bytes changed behind the stub
        for (int k = 0; k < 3; ++k) bad[17 + rng() % (good.size() - 17)] = static_cast<char>(rng());
        break;
      case 2: {  // a record length replaced by a random or near-wrapping value
        size_t at = 17 + 172 + (rng() % 2) * 9;
        uint32_t len = (rng() % 2) ? static_cast<uint32_t>(rng()) : 0xFFFFFFFFu - (rng() % 64);
        vn::LPUT32(reinterpret_cast<unsigned char*>(&bad[at]), len);
        break;
      }
    }
    if (bad == good) continue;
    put("bad", bad);
    EXPECT_FALSE(verifies("bad")) << "round " << round;
    EXPECT_EQ(list_status("bad", true), 1) << "round " << round;
  }
}

}  // namespace
