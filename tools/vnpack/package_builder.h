// package_builder.h - "vnpack build": stub, header and records into a new
// installer file.
#ifndef VNPACK_PACKAGE_BUILDER_H
#define VNPACK_PACKAGE_BUILDER_H

#include "cli.h"

namespace vnpack {

// Writes the installer the request describes. Everything that can be
// refused is checked before the output is created; on any Failure the
// previous OUTPUT (if any) is left untouched.
void build_installer(const BuildRequest& request, const char* argv0);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_BUILDER_H
