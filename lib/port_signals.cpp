// port_signals.cpp - holding and releasing one signal.
#include <signal.h>

#include <cerrno>

#include "vnlib.h"

namespace vn {

namespace {

// The classic signals; numbers outside are refused on every system alike.
constexpr int FIRST_SIGNAL = 1;
constexpr int LAST_SIGNAL = 31;

// Adds sig to (SIG_BLOCK) or removes it from (SIG_UNBLOCK) the blocked set.
int change_blocked(int how, int sig) {
  if (sig < FIRST_SIGNAL || sig > LAST_SIGNAL) {
    errno = EINVAL;
    return -1;
  }
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  return sigprocmask(how, &one, nullptr) == 0 ? 0 : -1;
}

}  // namespace

int sighold(int sig) { return change_blocked(SIG_BLOCK, sig); }

int sigrelse(int sig) { return change_blocked(SIG_UNBLOCK, sig); }

}  // namespace vn
