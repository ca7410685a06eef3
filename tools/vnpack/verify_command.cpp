// verify_command.cpp - "vnpack verify": the installer's own size and CRC
// checks, as a yes or no.
#include <cinttypes>
#include <cstdio>

#include "errors.h"
#include "package_commands.h"
#include "package_reader.h"

namespace vnpack {

namespace {

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08" PRIx32, v);
  return buf;
}

}  // namespace

void verify_installer(const VerifyRequest& request, std::FILE* out) {
  InstallerFile file = open_installer(request.installer);
  const std::string& path = file.path;
  if (file.size > MAX_INSTALLER_SIZE)
    throw Failure(path + ": file is 4 GiB or larger (" + std::to_string(file.size) + " bytes), too large for an installer");
  auto header = read_header(file);
  if (!header) throw Failure(path + ": no package found");
  if (!header->complete())
    throw Failure(path + ": package header cut short: " + std::to_string(header->header_bytes) + " of " +
                  std::to_string(PACKAGE_HEADER_SIZE) + " bytes at offset " + std::to_string(header->payload_offset));
  if (!header->magic_terminated)
    throw Failure(path + ": no package found (the magic at offset " + std::to_string(header->payload_offset) +
                  " is not followed by a zero byte)");
  uint64_t actual = actual_package_size(file, *header);
  if (actual != header->stored_size)
    throw Failure(path + ": size mismatch: the header says " + std::to_string(header->stored_size) +
                  " bytes, the file holds " + std::to_string(actual));
  uint32_t crc = compute_file_crc(file, header->payload_offset);
  if (crc != header->stored_crc)
    throw Failure(path + ": CRC mismatch: the header says " + hex32(header->stored_crc) + ", computed " + hex32(crc));
  std::fprintf(out, "%s: ok\n", path.c_str());
}

}  // namespace vnpack
