// Command-line parsing of the installer.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "installer.h"

namespace {

struct Options : ::testing::Test {
  void SetUp() override {
    quiet_install = debug_install = gz_install = 0;
    install_program_path = nullptr;
  }
  // Parses the given arguments (argv[0] is added) and returns the index.
  int parse(std::initializer_list<const char*> args) {
    storage.assign({"setup"});
    for (const char* a : args) storage.push_back(a);
    argv.clear();
    for (auto& s : storage) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    return parse_install_options(static_cast<int>(storage.size()), argv.data());
  }
  std::vector<std::string> storage;
  std::vector<char*> argv;
};

TEST_F(Options, CombinedInAnyOrder) {
  EXPECT_EQ(parse({"-gz", "-quiet", "-d"}), 4);
  EXPECT_EQ(gz_install, 1);
  EXPECT_EQ(quiet_install, 1);
  EXPECT_EQ(debug_install, 1);
}

TEST_F(Options, StopsAtFirstNonOption) {
  EXPECT_EQ(parse({"-d", "file", "-quiet"}), 2);
  EXPECT_EQ(debug_install, 1);
  EXPECT_EQ(quiet_install, 0);
}

TEST_F(Options, ProgramTakesNextArgumentEvenAnOption) {
  EXPECT_EQ(parse({"-program", "-quiet"}), 3);
  EXPECT_STREQ(install_program_path, "-quiet");
  EXPECT_EQ(quiet_install, 0);
}

TEST_F(Options, ProgramAsLastArgumentStoresNothing) {
  EXPECT_EQ(parse({"-program"}), 2);
  EXPECT_EQ(install_program_path, nullptr);
}

TEST_F(Options, UnknownDoubleDashAndLoneDashAreIgnored) {
  EXPECT_EQ(parse({"--gz", "-", "-GZ", "-quietly", "-x"}), 6);
  EXPECT_EQ(gz_install, 0);
  EXPECT_EQ(quiet_install, 0);
  EXPECT_EQ(debug_install, 0);
}

}  // namespace
