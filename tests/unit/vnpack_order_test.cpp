// Tests of vnpack's warnings about record orders that install, but not
// where the package's author probably meant.

#include <gtest/gtest.h>

#include "vnpack/cli.h"
#include "vnpack/package_builder.h"

namespace {

std::vector<std::string> warnings_for(std::vector<std::string> args) {
  args.insert(args.begin(), {"build", "-o", "out"});
  return vnpack::ordering_warnings(std::get<vnpack::BuildRequest>(vnpack::parse_command_line(args)).items);
}

TEST(VnpackOrder, WarnsOnScriptBeforeWelcomeAndWelcomeAfterArchive) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> starts;  // how each expected warning begins
  };
  const Case cases[] = {
      {{"--env", "A=1", "--welcome", "w", "--archive", "d", "--script", "s", "--helper", "h"}, {}},
      {{"--helper", "h", "--archive", "d"}, {}},
      {{"--script", "s", "--welcome", "w", "--script", "t"}, {"--script s: comes before any welcome"}},
      {{"--raw", "11", "s"}, {"--raw s: comes before any welcome"}},
      {{"--tar", "t", "--welcome", "w", "--raw", "1", "x"}, {"--welcome w: comes after --tar t"}},
      {{"--raw", "10", "a", "--script", "s", "--welcome", "w"},
       {"--script s: comes before", "--welcome w: comes after --raw a"}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> got = warnings_for(c.args);
    ASSERT_EQ(got.size(), c.starts.size()) << c.args.front();
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].rfind(c.starts[i], 0), 0u) << got[i];
  }
}

}  // namespace
