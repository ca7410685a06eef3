// Command-line options. Parsing stops at the first argument that does not
// begin with "-"; unknown words are skipped without a message.
#include <cstring>

#include "installer.h"

namespace {

// Applies one option word (the text after its "-"); returns the number of
// further arguments it consumed.
int apply_option(const char* word, int index, int argc, char** argv) {
  if (std::strcmp(word, "d") == 0) {
    debug_install = 1;
  } else if (std::strcmp(word, "gz") == 0) {
    gz_install = 1;
  } else if (std::strcmp(word, "program") == 0) {
    if (index + 1 < argc) install_program_path = argv[index + 1];
    return 1;
  } else if (std::strcmp(word, "quiet") == 0) {
    quiet_install = 1;
  } else if (std::strcmp(word, "signed") == 0) {
    signed_install = 1;
  }
  return 0;
}

}  // namespace

int parse_install_options(int argc, char** argv) {
  int index = 1;
  while (index < argc) {
    const char* arg = argv[index];
    if (arg[0] != '-') return index;
    index += apply_option(arg + 1, index, argc, argv);
    index++;
  }
  // "-program" as the last argument steps past the end.
  return index < argc ? index : argc;
}
