// The build's progress line: nothing where standard error is not a
// terminal, a redrawn line with the figures where it is.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "vnpack/progress.h"

namespace {

std::string drain(int fd) {
  std::string text;
  char buf[512];
  ssize_t got;
  while ((got = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
  return text;
}

TEST(VnpackProgress, SilentWhenTheStreamIsNoTerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    vnpack::ProgressMeter meter(1000, file, {});
    meter.advance(400);
    meter.advance(600);
    meter.finish();
  }
  EXPECT_EQ(std::ftell(file), 0);
  std::fclose(file);
}

TEST(VnpackProgress, RedrawsOneLineOnATerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::FILE* terminal = std::fopen(ptsname(master), "w");
  ASSERT_NE(terminal, nullptr);
  {
    vnpack::ProgressMeter meter(4u << 20, terminal, {});
    meter.advance(1u << 20);
    meter.advance(1u << 20);
    meter.finish();
  }
  std::fclose(terminal);
  fcntl(master, F_SETFL, O_NONBLOCK);
  const std::string shown = drain(master);
  close(master);

  EXPECT_NE(shown.find("\rvnpack: 1.0 MiB of 4.0 MiB (25%), "), std::string::npos) << shown;
  EXPECT_NE(shown.find("\rvnpack: 2.0 MiB of 4.0 MiB (50%), "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" left"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\rvnpack: 2.0 MiB in "), std::string::npos) << shown;
  EXPECT_EQ(shown.back(), '\n');  // the terminal turns the newline into CR LF
}

}  // namespace
