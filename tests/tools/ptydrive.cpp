// ptydrive: runs a command on a pseudo-terminal and types each answer only
// once its prompt has appeared on the screen, as a user would.
//   ptydrive PROMPT ANSWER [PROMPT ANSWER]... -- COMMAND [ARG]...
// The screen (carriage returns dropped) is copied to standard output; the
// exit status is the command's. A prompt that never appears (for instance
// one the program did not flush before waiting for its answer) ends the
// run after a generous wait with status 3, so a test fails instead of
// hanging.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int PROMPT_WAIT_MS = 30000;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_PROMPT = 3;

struct exchange {
  std::string prompt;
  std::string answer;
};

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(EXIT_USAGE);
}

int open_master(std::string& slave_name) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("ptydrive: pseudo-terminal");
  slave_name = ptsname(master);
  return master;
}

[[noreturn]] void run_child(const std::string& slave_name, char** command) {
  setsid();
  const int slave = open(slave_name.c_str(), O_RDWR);
  if (slave < 0) die("ptydrive: open terminal");
  dup2(slave, 0);
  dup2(slave, 1);
  dup2(slave, 2);
  if (slave > 2) close(slave);
  execvp(command[0], command);
  die(command[0]);
}

void show(const char* data, ssize_t n) {
  for (ssize_t i = 0; i < n; ++i)
    if (data[i] != '\r') std::putchar(data[i]);
  std::fflush(stdout);
}

// Copies the screen until the child closes the terminal, answering prompts
// in order. False when a prompt did not appear in time.
bool drive(int master, const std::vector<exchange>& script) {
  std::string screen;  // what appeared since the last answer
  size_t next = 0;
  char buf[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    const int ready = poll(&p, 1, PROMPT_WAIT_MS);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (next < script.size()) {
        std::fprintf(stderr, "ptydrive: the prompt \"%s\" did not appear\n", script[next].prompt.c_str());
        return false;
      }
      continue;
    }
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return true;  // the terminal was closed: the command is done
    show(buf, n);
    screen.append(buf, static_cast<size_t>(n));
    if (next < script.size() && screen.find(script[next].prompt) != std::string::npos) {
      const std::string keys = script[next].answer + "\r";
      if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) die("ptydrive: type");
      screen.clear();
      ++next;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<exchange> script;
  int i = 1;
  for (; i + 1 < argc && std::strcmp(argv[i], "--") != 0; i += 2) script.push_back({argv[i], argv[i + 1]});
  if (i >= argc || std::strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
    std::fprintf(stderr, "usage: ptydrive PROMPT ANSWER [PROMPT ANSWER]... -- COMMAND [ARG]...\n");
    return EXIT_USAGE;
  }
  std::string slave_name;
  const int master = open_master(slave_name);
  const pid_t child = fork();
  if (child < 0) die("ptydrive: fork");
  if (child == 0) {
    close(master);
    run_child(slave_name, argv + i + 1);
  }
  const bool answered = drive(master, script);
  if (!answered) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (!answered) return EXIT_NO_PROMPT;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
