// The whole installer on a damaged package: a fixed stand-in for the
// installer program followed by package bytes from the input, run in
// archive output mode ("-gz") with answers on standard input. Each run is a
// child process shut in the scratch directory, so the installer's exit()
// ends only the child and a helper program cannot be started.
//
// Input: one byte n, then n bytes of answers, then the package.
#include <cstdlib>
#include <string>

#include "confined_child.h"
#include "fuzz_input.h"
#include "installer.h"

namespace {

constexpr unsigned TIME_LIMIT_SECONDS = 10;
constexpr const char* INSTALLER_NAME = "setup";
// Smaller than the payload search's chunk, so the package magic straddles
// the first chunk boundary.
constexpr size_t STUB_SIZE = 1000;

std::string stub_image() {
  std::string stub = "\177ELF stand-in for the installer program\n";
  while (stub.size() < STUB_SIZE) stub += static_cast<char>('a' + stub.size() % 26);
  return stub;
}

void run_installer(void*) {
  setenv("TEMP", "/", 1);
  setenv("PATH", "/", 1);
  char program[] = "/setup";
  char gz[] = "-gz";
  char* argv[] = {program, gz, nullptr};
  parse_install_options(2, argv);
  std::exit(vninstall(0, program));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string stub = stub_image();
  fuzz_input input(data, size);
  const std::string_view answers = input.take_bytes(input.take_byte());
  write_scratch_file(INSTALLER_NAME, stub + std::string(input.take_rest()));
  // VN_FUZZ_SHOW_STDERR=1 shows what the installer says (to reproduce a finding).
  static const bool discard_stderr = std::getenv("VN_FUZZ_SHOW_STDERR") == nullptr;
  run_confined({run_installer, nullptr, answers, discard_stderr, TIME_LIMIT_SECONDS});
  empty_scratch_directory();
  return 0;
}
