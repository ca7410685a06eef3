// Tests of vnpack's command-line parsing: item order, per-item levels and
// the forms of option values.

#include <gtest/gtest.h>

#include "vnpack/cli.h"
#include "vnpack/errors.h"

namespace {

using vnpack::BuildItem;
using vnpack::BuildRequest;

BuildRequest parse_build(std::vector<std::string> args) {
  args.insert(args.begin(), "build");
  return std::get<BuildRequest>(vnpack::parse_command_line(args));
}

TEST(VnpackCli, ItemsKeepTheirOrderAndTheLevelBeforeThem) {
  BuildRequest r = parse_build({"--archive", "a", "-o", "out", "--level", "3", "--tar=t.tar", "--env", "X=1",
                                "--level=1", "--raw", "7", "helper", "--bz2", "b.bz2", "--archive", "c"});
  EXPECT_EQ(r.output, "out");
  ASSERT_EQ(r.items.size(), 6u);
  EXPECT_EQ(r.items[0].kind, BuildItem::Kind::archive);
  EXPECT_EQ(r.items[0].codec, vnpack::Codec::zstd);  // the default, not asked for by name
  EXPECT_FALSE(r.items[0].codec_given);
  EXPECT_FALSE(r.items[0].level_given);
  EXPECT_EQ(r.items[0].level, 19);
  EXPECT_EQ(r.items[1].kind, BuildItem::Kind::tar);
  EXPECT_EQ(r.items[1].value, "t.tar");
  EXPECT_EQ(r.items[1].level, 3);
  EXPECT_TRUE(r.items[1].level_given);
  EXPECT_EQ(r.items[2].value, "X=1");
  EXPECT_EQ(r.items[3].kind, BuildItem::Kind::raw);
  EXPECT_EQ(r.items[3].type, 7u);
  EXPECT_EQ(r.items[3].value, "helper");
  EXPECT_EQ(r.items[5].level, 1);
  EXPECT_FALSE(r.stub.has_value());
  EXPECT_FALSE(r.dereference);
}

TEST(VnpackCli, CompressResetsTheLevelAndTimesAreSeconds) {
  BuildRequest r = parse_build({"-o", "x", "--level", "3", "--compress", "bzip2", "--archive", "a", "--mtime", "@86400"});
  EXPECT_EQ(r.items[0].codec, vnpack::Codec::bzip2);
  EXPECT_TRUE(r.items[0].codec_given);
  EXPECT_FALSE(r.items[0].level_given);
  EXPECT_EQ(r.items[0].level, 9);
  EXPECT_EQ(r.mtime_limit, 86400);
  EXPECT_EQ(vnpack::parse_epoch_seconds("0"), 0);
  for (const char* bad : {"", "@", "-1", "+1", "1.5", "1 ", "2026-01-01", "99999999999999999999"})
    EXPECT_FALSE(vnpack::parse_epoch_seconds(bad).has_value()) << bad;
  EXPECT_THROW(parse_build({"-o", "x", "--mtime", "yesterday"}), vnpack::UsageError);
}

TEST(VnpackCli, ValuesMayLookLikeOptions) {
  // An assignment or a file name that starts with "-" is still the value.
  BuildRequest r = parse_build({"-o", "-out", "--env", "--help=x", "--raw", "0", "-f", "--raw=255", "g"});
  EXPECT_EQ(r.output, "-out");
  EXPECT_EQ(r.items[0].value, "--help=x");
  EXPECT_EQ(r.items[1].value, "-f");
  EXPECT_EQ(r.items[2].type, 255u);
  EXPECT_EQ(r.items[2].value, "g");
}

TEST(VnpackCli, RejectsBadNumbers) {
  for (const char* level : {"0", "20", "", "5x", "-1", " 5", "99999999999999999999"})
    EXPECT_THROW(parse_build({"-o", "x", "--level", level}), vnpack::UsageError) << level;
  EXPECT_THROW(parse_build({"-o", "x", "--compress", "bzip2", "--level", "10"}), vnpack::UsageError);
  for (const char* type : {"256", "", "1e2", "-0"})
    EXPECT_THROW(parse_build({"-o", "x", "--raw", type, "f"}), vnpack::UsageError) << type;
}

TEST(VnpackCli, HelpAndVersion) {
  EXPECT_TRUE(std::holds_alternative<vnpack::HelpRequest>(vnpack::parse_command_line({"--help"})));
  EXPECT_TRUE(std::holds_alternative<vnpack::HelpRequest>(vnpack::parse_command_line({"list", "-h"})));
  EXPECT_TRUE(std::holds_alternative<vnpack::VersionRequest>(vnpack::parse_command_line({"--version"})));
}

}  // namespace
