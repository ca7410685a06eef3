// Signal holding, the identity calls that are not offered, and the host and
// system names.
#include <errno.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "vnlib.h"

namespace {

bool is_blocked(int sig) {
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, sig) == 1;
}

// Restores the signal mask the test found.
class SignalMask : public ::testing::Test {
 protected:
  void SetUp() override { sigprocmask(SIG_BLOCK, nullptr, &saved_); }
  void TearDown() override { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  sigset_t saved_;
};

TEST_F(SignalMask, HoldAndReleaseOneSignalLeaveTheOthers) {
  ASSERT_EQ(vn::sighold(SIGINT), 0);
  ASSERT_EQ(vn::sighold(SIGTERM), 0);
  EXPECT_TRUE(is_blocked(SIGINT));
  EXPECT_TRUE(is_blocked(SIGTERM));
  ASSERT_EQ(vn::sigrelse(SIGINT), 0);
  EXPECT_FALSE(is_blocked(SIGINT));
  EXPECT_TRUE(is_blocked(SIGTERM));
  // The edges of the range are accepted.
  EXPECT_EQ(vn::sighold(1), 0);
  EXPECT_EQ(vn::sighold(31), 0);
  EXPECT_TRUE(is_blocked(31));
  EXPECT_EQ(vn::sigrelse(31), 0);
  EXPECT_FALSE(is_blocked(31));
}

TEST_F(SignalMask, NumbersOutsideOneTo31AreRefusedAndChangeNothing) {
  ASSERT_EQ(vn::sighold(SIGUSR1), 0);
  sigset_t before;
  sigprocmask(SIG_BLOCK, nullptr, &before);
  for (int sig : {0, 32, 33, 34, 64, -1, INT_MIN, INT_MAX}) {
    for (auto call : {vn::sighold, vn::sigrelse}) {
      errno = 0;
      EXPECT_EQ(call(sig), -1) << sig;
      EXPECT_EQ(errno, EINVAL) << sig;
    }
  }
  sigset_t after;
  sigprocmask(SIG_BLOCK, nullptr, &after);
  for (int sig = 1; sig < NSIG; ++sig)
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
}

TEST(Portability, RealIdentitiesCannotBeSetAlone) {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  for (unsigned id : {0u, 1u, static_cast<unsigned>(uid), 65534u}) {
    EXPECT_EQ(vn::setruid(id), -2);
    EXPECT_EQ(vn::setrgid(id), -2);
  }
  EXPECT_EQ(getuid(), uid);
  EXPECT_EQ(getgid(), gid);
  EXPECT_EQ(vn::_chdrive(3), 0);
}

TEST(Portability, HostAndSystemNamesAreThoseOfTheSystem) {
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  char buf[vn::SYSTEM_NAME_BUFFER_SIZE];
  std::memset(buf, 'x', sizeof buf);
  ASSERT_EQ(vn::get_nodename(buf), 0);
  EXPECT_STREQ(buf, names.nodename);
  std::memset(buf, 'x', sizeof buf);
  ASSERT_EQ(vn::get_systemname(buf), 0);
  EXPECT_STREQ(buf, names.sysname);

  char host[256];
  ASSERT_EQ(vn::get_hostname(host, sizeof host), 0);
  EXPECT_STREQ(host, names.nodename);
  EXPECT_EQ(vn::my_gethostid(), gethostid());
}

}  // namespace
