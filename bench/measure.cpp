// measure - runs one command and prints its wall time and its processor
// time (user and system, its waited-for children included) in seconds, and
// its peak resident set in KiB: "WALL CPU MAXRSS_KIB".
//
//   measure [-i INPUT] [-o OUTPUT] [-e ERRORS] [-C DIR] COMMAND [ARG...]
//
// The command's standard input comes from INPUT (default /dev/null), its
// standard output goes to OUTPUT (default /dev/null), its standard error to
// ERRORS (default: where the output goes), and it runs in DIR. Exit status: the command's, or 125 when it could not be started.
//
// On a busy machine the processor time is the steadier figure: a single
// process competes for its share of a core, a pipeline of two for two.
// The peak comes from wait4: a child inherits its parent's high-water mark
// across fork, so the parent must stay small - a shell would not do.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int START_FAILED = 125;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

// In the child: standard streams and directory, then the command.
[[noreturn]] void start(const char* input, const char* output, const char* errors, const char* dir, char** argv) {
  const int in = open(input, O_RDONLY);
  const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = errors == nullptr ? out : open(errors, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    std::perror("measure: redirect");
    _exit(START_FAILED);
  }
  if (dir != nullptr && chdir(dir) != 0) {
    std::perror(dir);
    _exit(START_FAILED);
  }
  execvp(argv[0], argv);
  std::perror(argv[0]);
  _exit(START_FAILED);
}

}  // namespace

int main(int argc, char** argv) {
  const char* input = "/dev/null";
  const char* output = "/dev/null";
  const char* errors = nullptr;
  const char* dir = nullptr;
  int opt;
  while ((opt = getopt(argc, argv, "+i:o:e:C:")) != -1) {
    if (opt == 'i') input = optarg;
    else if (opt == 'o') output = optarg;
    else if (opt == 'e') errors = optarg;
    else if (opt == 'C') dir = optarg;
    else return START_FAILED;
  }
  if (optind >= argc) {
    std::fputs("usage: measure [-i INPUT] [-o OUTPUT] [-e ERRORS] [-C DIR] COMMAND [ARG...]\n", stderr);
    return START_FAILED;
  }
  const double start_time = now();
  const pid_t pid = fork();
  if (pid < 0) return START_FAILED;
  if (pid == 0) start(input, output, errors, dir, argv + optind);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return START_FAILED;
  const double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  std::printf("%.6f %.6f %ld\n", now() - start_time, cpu, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
