// package_builder.h - "vnpack build": stub, header and records into a new
// installer file.
#ifndef VNPACK_PACKAGE_BUILDER_H
#define VNPACK_PACKAGE_BUILDER_H

#include <string>
#include <vector>

#include "cli.h"

namespace vnpack {

// Writes the installer the request describes. Everything that can be
// refused is checked before the output is created; on any Failure the
// previous OUTPUT (if any) is left untouched.
// Ordering warnings go to standard error; they do not stop the build.
void build_installer(const BuildRequest& request, const char* argv0);

// The record type an item becomes.
unsigned record_type_of(const BuildItem& item);

// Orders that install, but probably not where the author meant: a script
// before any welcome record (INSTALL_ROOT is then the starting directory)
// and a welcome record after an archive (which unpacked before the
// directory was chosen). One line each, without a prefix.
std::vector<std::string> ordering_warnings(const std::vector<BuildItem>& items);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_BUILDER_H
