// stub_locator.cpp - finding the default installer program.
#include "stub_locator.h"

#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <vector>

#include "errors.h"

namespace vnpack {

namespace {

// Linux names the running program's file in /proc; other systems either
// lack /proc or lay it out differently, and fall back on argv[0].
std::string read_proc_self_exe() {
#ifdef __linux__
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
#else
  return "";
#endif
}

std::string search_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return "";
  std::string_view rest(path);
  for (;;) {
    size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    if (dir.empty()) dir = ".";  // an empty PATH entry means the current directory
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return "";
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace

std::string running_program_path(const char* argv0) {
  std::string self = read_proc_self_exe();
  if (!self.empty()) return self;
  std::string name = argv0 ? argv0 : "";
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return name;
  return search_path(name);
}

std::string default_stub_path(const char* argv0) {
  std::string self = running_program_path(argv0);
  if (self.empty())
    throw Failure("cannot tell where vnpack itself lies, so cannot find the installer program " +
                  std::string(STUB_NAME) + "; give it with --stub FILE");
  size_t slash = self.rfind('/');
  std::string dir = slash == std::string::npos ? "." : self.substr(0, slash == 0 ? 1 : slash);
  return dir == "/" ? "/" + std::string(STUB_NAME) : dir + "/" + STUB_NAME;
}

}  // namespace vnpack
