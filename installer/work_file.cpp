// The work file of helper and script records: its path, its safe creation
// in a directory others may write to, and running it through the shell.
#include "work_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "installer.h"

namespace {

constexpr const char* WORK_FILE_NAME = "vninstall-temp.exe";

// Single quotes keep every byte literal; a quote itself is closed, escaped
// and reopened.
std::string shell_quoted(const char* text) {
  std::string quoted = "'";
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\'')
      quoted += "'\\''";
    else
      quoted += *p;
  }
  quoted += '\'';
  return quoted;
}

}  // namespace

bool work_file_path(char* path) {
  const int n = std::snprintf(path, WORK_PATH_SIZE, "%s/%s", install_temp_dir, WORK_FILE_NAME);
  return n >= 0 && static_cast<size_t>(n) < WORK_PATH_SIZE;
}

std::string work_file_full_path() { return std::string(install_temp_dir) + "/" + WORK_FILE_NAME; }

[[noreturn]] void work_file_creation_failed(const char* format) {
  std::printf(format, work_file_full_path().c_str());
  std::exit(1);
}

int create_work_file(const char* path, mode_t mode) {
  std::remove(path);
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

void run_work_file(const char* path, const char* argument) {
  std::string command = shell_quoted(path);
  if (argument != nullptr) (command += ' ') += argument;
  std::fflush(stdout);
  std::system(command.c_str());
}
