// vninstall: a self-extracting installer. The package it installs is
// appended to this program's own executable file.
#include "installer.h"

int main(int argc, char** argv) {
  parse_install_options(argc, argv);
  return vninstall(0, argc > 0 ? argv[0] : "");
}
