// The run sequence: prepare the process, find and open the installer's own
// file, verify the package inside it, walk its records, print the summary.
#include <fcntl.h>
#if __has_include(<sys/auxv.h>)
#include <sys/auxv.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "installer.h"
#include "vnlib.h"

namespace {

constexpr const char* BANNER_NOTICE = "Self-extracting software installer";

// The run reached the end of the package, but a record failed: an archive
// not unpacked (or, with "-gz", not written) whole, a helper or script not
// written out or started. Scripts and CI jobs must not take that for success.
constexpr int EXIT_RECORD_FAILED = 2;

// The file the running program was started from, as the system knows it.
constexpr const char* RUNNING_PROGRAM = "/proc/self/exe";

// A relative name the user gave means a directory seen from where the
// installer was started, not from the install directory it enters later.
const char* from_starting_directory(const char* dir) {
  if (dir[0] == '\0' || vn::is_absolute(dir)) return dir;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return dir;
  char* absolute = vn::filename_append_filename(cwd, dir);
  return absolute != nullptr ? absolute : dir;
}

// A variable that is set counts even when its value is empty. Without
// either the work file goes to the current directory of the moment, which
// is the install directory once one has been entered.
const char* choose_temp_dir() {
  if (const char* temp = std::getenv("TEMP")) return from_starting_directory(temp);
  if (const char* tmp = std::getenv("TMP")) return from_starting_directory(tmp);
  return ".";
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The name the program was started under need not be its own (exec -a, a
// shell that remembers where an older copy stood): the file found for it
// must be the running program, or another package would be installed. When
// it is not, the running program's own path is taken, if the system tells.
char* check_running_program(char* found) {
  // Without a program interpreter's base address the program was started
  // through the dynamic loader run as a command ("ld.so ./setup"), which
  // RUNNING_PROGRAM then names instead (or it is a static build, where the
  // check is of no use): the file found is taken as it is.
#ifdef AT_BASE
  if (getauxval(AT_BASE) == 0) return found;
#else
  return found;  // a system that cannot tell how the program was started
#endif
  struct stat self, other;
  if (stat(RUNNING_PROGRAM, &self) != 0) return found;  // no way to tell
  if (stat(found, &other) == 0 && same_file(self, other)) return found;
  vn::chk_free(found);
  char* real = realpath(RUNNING_PROGRAM, nullptr);
  char* own = real != nullptr && stat(real, &other) == 0 && same_file(self, other) ? vn::chk_strdup(real) : nullptr;
  std::free(real);
  return own;
}

void locate_own_file(const char* argv0) {
  char* path = vn::find_exec_path(std::getenv("PATH"), argv0);
  if (path != nullptr) path = check_running_program(path);
  if (path == nullptr) {
    std::printf(
        "Error: couldn't locate directory where the install binary is\n"
        "       being run from. Please ensure you are in the same directory\n"
        "       as %s when you run it.\n",
        argv0);
    std::exit(1);
  }
  install_program_path = path;
}

// With standard input closed, open() would hand out descriptor 0 and the
// answers to the prompts would be read from the package itself. Moving the
// descriptor above the standard streams keeps a closed stream closed.
int keep_off_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

// A standard stream the installer was started without (">&-") would give
// its number to the next file opened, an archive entry for instance, and
// messages flushed to it would land in that file. /dev/null opened for
// reading holds the number: reading it gives end of input and writing
// fails, just as on the closed stream.
void hold_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

uint64_t open_own_file() {
  struct stat st;
  const bool have_status = stat(install_program_path, &st) == 0;
  package_fd = have_status ? open(install_program_path, O_RDONLY | O_CLOEXEC) : -1;
  package_fd = keep_off_standard_streams(package_fd);
  if (package_fd < 0) {
    const int failure = errno;  // the report's own writes may fail too
    std::printf(
        "Error: cannot open file to extract the package.\n"
        "       File: %s\n",
        install_program_path);
    std::fflush(stdout);
    errno = failure;
    std::perror("Cannot open");
    std::exit(1);
  }
  return static_cast<uint64_t>(st.st_size);
}

// The whole start-up text goes out in one write; if standard error cannot
// take it, the run ends quietly.
void print_banner() {
  if (std::fprintf(stderr,
                   "VNINSTALL v%d.%03d %s\n\n"
                   "Verifying package file: %s\n"
                   "This may take a moment...\n",
                   PROGRAM_VERSION_MAJOR, PROGRAM_VERSION_MINOR, BANNER_NOTICE, install_program_path) < 0)
    std::exit(1);
}

char gz_output_buffer[256 * 1024];

}  // namespace

int vninstall(int flags, const char* argv0) {
  hold_closed_standard_streams();
  install_temp_dir = choose_temp_dir();
  if (flags & 1) quiet_install = 1;
  umask(022);
  std::signal(SIGPIPE, SIG_IGN);
  // Answers are read without read-ahead: what follows them on standard
  // input stays there for the helpers, scripts and shell started later.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  // Archives copied to standard output go out in large writes: a reader
  // at the other end of a pipe then wakes once per 256 KiB, not per 4 KiB.
  if (gz_install) std::setvbuf(stdout, gz_output_buffer, _IOFBF, sizeof gz_output_buffer);
  build_package_magic();

  locate_own_file(argv0);
  const uint64_t file_size = open_own_file();
  print_banner();

  // Offsets in the package are 32-bit; the search gets the low half.
  const uint32_t payload_offset = find_package_offset(package_fd, 0, static_cast<uint32_t>(file_size));
  verify_package(payload_offset, file_size, package_fd);
  const int install_failed = run_package_records(payload_offset, file_size);

  if (!gz_install)
    std::fputs(install_failed ? "ERROR: Installation failed.\n" : "Installation successfully completed.\n", stdout);
  return install_failed ? EXIT_RECORD_FAILED : 0;
}
