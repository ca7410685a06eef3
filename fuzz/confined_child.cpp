// Child processes for the fuzz targets that write files or end the process.
// The child is shut in the scratch directory with chroot (in a new user
// namespace when the fuzzer is not privileged), so no name from the input
// can reach a file outside it. Coverage: the inline 8-bit counters of the
// instrumented code live in one section; the child copies them into shared
// memory as it ends and the parent copies them back over its own, which the
// fuzzer reads after the input.
#include "confined_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
}

namespace {

// Exit statuses of the child that the parent tells apart.
constexpr int CHILD_FINISHED = 0;
constexpr int CHILD_SANITIZER_REPORT = 86;
constexpr int CHILD_CANNOT_CONFINE = 87;

// Signals whose handlers the fuzzer installed for itself; in the child they
// take their default action so the parent sees how the child ended.
constexpr int FUZZER_SIGNALS[] = {SIGABRT, SIGALRM, SIGILL, SIGINT, SIGTERM, SIGTRAP, SIGUSR1, SIGUSR2, SIGXFSZ};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "confined child: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

size_t counters_size() { return static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs); }

uint8_t* shared_counters() {
  static uint8_t* shared = [] {
    void* block = mmap(nullptr, counters_size() + 1, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) fail("mmap");
    return static_cast<uint8_t*>(block);
  }();
  return shared;
}

// Runs at exit() in the child, before the fuzzer's own exit handler (which
// would report the exit as a finding), and ends the child there.
void child_exit_handler() {
  std::memcpy(shared_counters(), __start___sancov_cntrs, counters_size());
  _exit(CHILD_FINISHED);
}

void child_death_callback() { _exit(CHILD_SANITIZER_REPORT); }

bool write_proc_file(const char* name, const std::string& text) {
  const int fd = open(name, O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return written;
}

// Unprivileged: a user namespace in which this user is root, so that chroot
// is allowed and files are still created as this user.
bool become_namespace_root() {
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  return unshare(CLONE_NEWUSER) == 0 && write_proc_file("/proc/self/setgroups", "deny") &&
         write_proc_file("/proc/self/uid_map", "0 " + uid + " 1") &&
         write_proc_file("/proc/self/gid_map", "0 " + gid + " 1");
}

void confine_to_scratch() {
  if (chdir(scratch_directory()) != 0) _exit(CHILD_CANNOT_CONFINE);
  if (chroot(".") == 0) return;
  if (!become_namespace_root() || chroot(".") != 0) _exit(CHILD_CANNOT_CONFINE);
}

[[noreturn]] void run_child(const confined_run& run, int input_fd, int null_fd) {
  for (int sig : FUZZER_SIGNALS) std::signal(sig, SIG_DFL);
  alarm(run.time_limit_seconds);
  __sanitizer_set_death_callback(child_death_callback);
  const int report_fd = dup(STDERR_FILENO);
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(report_fd)));
  dup2(input_fd, STDIN_FILENO);
  dup2(null_fd, STDOUT_FILENO);
  if (run.discard_stderr) dup2(null_fd, STDERR_FILENO);
  close(input_fd);
  close(null_fd);
  confine_to_scratch();
  std::atexit(child_exit_handler);
  run.body(run.arg);
  std::exit(CHILD_FINISHED);
}

// A pipe that already holds the whole text, its writing end closed.
int input_pipe(std::string_view text) {
  int ends[2];
  if (pipe(ends) != 0) fail("pipe");
  // Inputs are kept far below the pipe's capacity, so this cannot block.
  if (write(ends[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("write to pipe");
  close(ends[1]);
  return ends[0];
}

void judge_child(int status, unsigned time_limit) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == CHILD_FINISHED) return;
  if (WIFEXITED(status) && WEXITSTATUS(status) == CHILD_CANNOT_CONFINE) {
    std::fprintf(stderr, "confined child: cannot shut the child in %s (chroot refused)\n", scratch_directory());
    std::exit(1);
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    std::fprintf(stderr, "==%d== ERROR: confined child: timeout after %u seconds\n", getpid(), time_limit);
  } else if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "==%d== ERROR: confined child: killed by signal %d (%s)\n", getpid(), WTERMSIG(status),
                 strsignal(WTERMSIG(status)));
  } else {
    std::fprintf(stderr, "==%d== ERROR: confined child: exit status %d\n", getpid(), WEXITSTATUS(status));
  }
  std::abort();
}

void remove_contents(int dir_fd) {
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) fail("fdopendir");
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (unlinkat(dirfd(dir), name, 0) == 0) continue;
    // A directory: make it searchable whatever mode the input gave it.
    fchmodat(dirfd(dir), name, 0700, 0);
    const int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (sub < 0) fail(name);
    remove_contents(sub);
    if (unlinkat(dirfd(dir), name, AT_REMOVEDIR) != 0) fail(name);
  }
  closedir(dir);
}

}  // namespace

const char* scratch_directory() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vnfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    return pattern;
  }();
  return path.c_str();
}

void write_scratch_file(const char* name, std::string_view contents) {
  const std::string path = std::string(scratch_directory()) + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  if (fd < 0 || write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) fail(name);
  close(fd);
}

void empty_scratch_directory() {
  const int fd = open(scratch_directory(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) fail("open scratch directory");
  remove_contents(fd);
}

void run_confined(const confined_run& run) {
  uint8_t* shared = shared_counters();
  std::memcpy(shared, __start___sancov_cntrs, counters_size());
  const int input_fd = input_pipe(run.standard_input);
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) fail("open /dev/null");
  std::fflush(nullptr);

  const pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) run_child(run, input_fd, null_fd);
  close(input_fd);
  close(null_fd);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  std::memcpy(__start___sancov_cntrs, shared, counters_size());
  judge_child(status, run.time_limit_seconds);
}
