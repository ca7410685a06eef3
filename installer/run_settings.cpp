// Process-wide run settings, set by the options and the driver and read by
// the record handlers.
#include "installer.h"

int quiet_install = 0;
int debug_install = 0;
int gz_install = 0;
int signed_install = 0;
const char* install_program_path = nullptr;
const char* install_temp_dir = nullptr;
char* install_root = nullptr;
int package_fd = -1;
char package_magic[PACKAGE_MAGIC_LENGTH + 1];
