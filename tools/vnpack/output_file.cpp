// output_file.cpp - temporary-file-then-rename writing of the installer.
#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "errors.h"
#include "package_format.h"

namespace vnpack {

namespace {

// The temporary file's name for the signal handler, which may only call
// async-signal-safe functions and so cannot touch a std::string.
constexpr size_t MAX_TEMP_PATH = 4096;
char pending_temp_path[MAX_TEMP_PATH];
volatile sig_atomic_t have_pending_temp = 0;

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A write past the file-size limit (ulimit -f) raises SIGXFSZ, which would
// end vnpack without removing the temporary file; ignored, the write fails
// with EFBIG and the build fails as on a full disk.
void (*xfsz_before)(int) = SIG_DFL;

extern "C" void remove_temp_and_die(int sig) {
  if (have_pending_temp) ::unlink(pending_temp_path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

bool is_ignored(int sig) {
  struct sigaction current {};
  return ::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// A signal vnpack was started with ignored (nohup, a background job of a
// script) stays ignored: catching it would let it end the build.
void watch_temp(const std::string& path) {
  if (path.size() >= MAX_TEMP_PATH) return;
  std::memcpy(pending_temp_path, path.c_str(), path.size() + 1);
  have_pending_temp = 1;
  for (int sig : CLEANUP_SIGNALS)
    if (!is_ignored(sig)) std::signal(sig, remove_temp_and_die);
  xfsz_before = std::signal(SIGXFSZ, SIG_IGN);
}

void unwatch_temp() {
  have_pending_temp = 0;
  for (int sig : CLEANUP_SIGNALS)
    if (!is_ignored(sig)) std::signal(sig, SIG_DFL);
  std::signal(SIGXFSZ, xfsz_before);
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t current_umask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

OutputFile::OutputFile(std::string final_path) : final_path_(std::move(final_path)) {
  std::string pattern = directory_of(final_path_) + "/." + last_component(final_path_) + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) fail_errno(final_path_, "cannot create a temporary file beside it");
  fd_ = Fd(fd);
  temp_path_ = name.data();
  watch_temp(temp_path_);
}

OutputFile::~OutputFile() {
  if (!committed_) {
    ::unlink(temp_path_.c_str());
    unwatch_temp();
  }
}

void OutputFile::write(const void* data, size_t n) {
  if (position_ + n > MAX_INSTALLER_SIZE)
    throw Failure(final_path_ + ": the installer would reach 4 GiB; it can hold at most " +
                  std::to_string(MAX_INSTALLER_SIZE) + " bytes");
  write_all(fd_.get(), data, n, temp_path_);
  position_ += n;
}

void OutputFile::write_at(const void* data, size_t n, uint64_t offset) {
  vnpack::write_at(fd_.get(), data, n, offset, temp_path_);
}

void OutputFile::commit(mode_t mode) {
  if (::fchmod(fd_.get(), mode & ~current_umask()) != 0) fail_errno(temp_path_, "cannot set the mode");
  if (::fsync(fd_.get()) != 0) fail_errno(temp_path_, "cannot write to disk");
  if (::close(fd_.release()) != 0) fail_errno(temp_path_, "write error");
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) fail_errno(final_path_, "cannot rename the new installer into place");
  committed_ = true;
  unwatch_temp();
}

}  // namespace vnpack
