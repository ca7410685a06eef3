// Environment records: one NAME=value assignment put into the process
// environment, where every program started later inherits it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer.h"
#include "vnlib.h"

int handle_env_record(int fd, const unsigned char* head) {
  // Taken unsigned, a length of 2^31 or more is simply too long rather than
  // a negative count slipping past the test.
  const uint32_t length = record_body_length(head);
  if (length > ENV_BODY_MAX) {
    std::fputs("Environment variable too long in setup file\n", stdout);
    std::exit(1);
  }
  char text[ENV_BODY_MAX + 1];
  if (read_fully(fd, text, length) != length) {
    std::fflush(stdout);  // what earlier records printed comes first
    std::fputs("Premature EOF reading env var\n", stderr);
    std::exit(1);
  }
  text[length] = '\0';
  if (!gz_install) std::printf("%s\n", text);
  // The environment keeps pointing at the copy, so it is never freed.
  char* assignment = vn::chk_strdup(text);
  if (assignment == nullptr || putenv(assignment) != 0) {
    std::fputs("Error: cannot set environment variable\n", stdout);
    std::exit(1);
  }
  return 0;
}
