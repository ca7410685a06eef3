// The work file of helper and script records: its path, its safe creation
// in a directory others may write to, and running it through the shell.
#include "work_file.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer.h"
#include "vnlib.h"

namespace {

constexpr const char* WORK_FILE_NAME = "vninstall-temp.exe";
constexpr const char* QUOTE_ESCAPE = "'\\''";  // close, escaped quote, reopen
// Room for any work-file path quoted (each byte four at most), a blank and
// the helper's argument: a command never has to be cut.
constexpr size_t COMMAND_SIZE = 4 * WORK_PATH_SIZE + 16;

// Single quotes keep every byte literal. Returns the end of the text, or
// null when it does not fit before end.
char* put_shell_quoted(char* out, const char* end, const char* text) {
  if (out == end) return nullptr;
  *out++ = '\'';
  for (const char* p = text; *p != '\0'; ++p) {
    const char* piece = *p == '\'' ? QUOTE_ESCAPE : nullptr;
    const size_t n = piece != nullptr ? std::strlen(piece) : 1;
    if (static_cast<size_t>(end - out) < n + 2) return nullptr;  // room for the closing quote and NUL
    std::memcpy(out, piece != nullptr ? piece : p, n);
    out += n;
  }
  *out++ = '\'';
  *out = '\0';
  return out;
}

}  // namespace

bool work_file_path(char* path) {
  const int n = std::snprintf(path, WORK_PATH_SIZE, "%s/%s", install_temp_dir, WORK_FILE_NAME);
  return n >= 0 && static_cast<size_t>(n) < WORK_PATH_SIZE;
}

void print_with_work_path(const char* format) {
  char* path = vn::chk_makestr(install_temp_dir, "/", WORK_FILE_NAME, nullptr);
  std::printf(format, path != nullptr ? path : install_temp_dir);
  vn::chk_free_safe(path);
}

[[noreturn]] void work_file_creation_failed(const char* format) {
  print_with_work_path(format);
  std::exit(1);
}

int create_work_file(const char* path, mode_t mode) {
  std::remove(path);
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int run_shell_command(const char* command) {
  // The installer ignores SIGPIPE for its own writes; a child would inherit
  // that, and a pipeline in a script ("producer | head -1") would then keep
  // its producer running, perhaps for ever, instead of ending it.
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  const int status = std::system(command);
  if (previous != SIG_ERR) std::signal(SIGPIPE, previous);
  return status;
}

void stop_if_interrupted(int status, const char* work_path) {
  if (status == -1 || !WIFSIGNALED(status)) return;
  const int sig = WTERMSIG(status);
  if (sig != SIGINT && sig != SIGQUIT) return;
  if (work_path != nullptr) std::remove(work_path);
  std::fflush(stdout);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  std::_Exit(128 + sig);  // the signal was blocked or ignored by whoever started us
}

bool run_work_file(const char* path, const char* argument) {
  char command[COMMAND_SIZE];
  char* end = put_shell_quoted(command, command + sizeof command, path);
  if (end != nullptr && argument != nullptr)
    std::snprintf(end, static_cast<size_t>(command + sizeof command - end), " %s", argument);
  // A temporary directory on a file system mounted without execute
  // permission takes the file but will not run it; the shell would only
  // complain, and the installation would look complete.
  const bool runnable = end != nullptr && access(path, X_OK) == 0;
  const int failure = errno;
  std::fflush(stdout);
  int status = -1;
  if (runnable) status = run_shell_command(command);
  if (status == -1) {
    std::printf("Error: cannot run %s: %s\n", path, std::strerror(runnable ? errno : failure));
    return false;
  }
  stop_if_interrupted(status, path);
  return true;
}
