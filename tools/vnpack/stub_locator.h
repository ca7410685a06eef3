// stub_locator.h - where the installer program (the stub) comes from when
// no --stub is given: the vninstall beside the running vnpack.
#ifndef VNPACK_STUB_LOCATOR_H
#define VNPACK_STUB_LOCATOR_H

#include <string>

namespace vnpack {

constexpr const char* STUB_NAME = "vninstall";

// The path of the running vnpack: /proc/self/exe where the system has it,
// else argv[0], searched in PATH when it holds no '/'. Empty if not found.
std::string running_program_path(const char* argv0);

// STUB_NAME in the directory of the running program; a Failure when the
// program cannot be located.
std::string default_stub_path(const char* argv0);

}  // namespace vnpack

#endif  // VNPACK_STUB_LOCATOR_H
