// package_commands.h - "vnpack list" and "vnpack verify".
#ifndef VNPACK_PACKAGE_COMMANDS_H
#define VNPACK_PACKAGE_COMMANDS_H

#include <cstdio>

#include "cli.h"

namespace vnpack {

// Prints the package's header checks and record table to out; returns the
// exit status: 0 when the package is sound, 1 when something is damaged.
int list_installer(const ListRequest& request, std::FILE* out);

// Returns normally (after printing an "ok" line and whether and by which
// key the package is signed to out) when size and CRC match and, with a
// key, the signature holds; a Failure with the reason otherwise.
void verify_installer(const VerifyRequest& request, std::FILE* out);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_COMMANDS_H
