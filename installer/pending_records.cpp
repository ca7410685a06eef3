// Record types this installer does not carry out yet. Skipping one silently
// would install a package only in part, so each ends the run by name.
#include <cstdio>
#include <cstdlib>

#include "installer.h"

namespace {

[[noreturn]] void refuse_record(int type, const char* name) {
  std::fflush(stdout);
  std::fprintf(stderr, "Error: record type %d (%s) is not supported by this installer\n", type, name);
  std::exit(1);
}

}  // namespace

int handle_welcome_record(int, const unsigned char*) { refuse_record(RECORD_WELCOME, "welcome text"); }

int handle_helper_record(int, const unsigned char*) { refuse_record(RECORD_HELPER, "helper program"); }

int handle_script_record(int, const unsigned char*) { refuse_record(RECORD_SCRIPT, "post-install script"); }
