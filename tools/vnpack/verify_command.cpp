// verify_command.cpp - "vnpack verify": the installer's own size and CRC
// checks, and its signature, as a yes or no.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "errors.h"
#include "package_commands.h"
#include "package_reader.h"
#include "package_signer.h"

namespace vnpack {

namespace {

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08" PRIx32, v);
  return buf;
}

// A signature record anywhere but directly behind the header stops the
// installer.
void check_no_stray_signature(const InstallerFile& file, const PackageHeader& header) {
  const uint64_t first = header.payload_offset + PACKAGE_HEADER_SIZE;
  walk_records(file, header, [&](const RecordInfo& r) {
    if (r.type == RECORD_SIGNATURE && r.offset != first && r.problem == RecordInfo::Problem::none)
      throw Failure(file.path + ": signature record out of place at offset " + std::to_string(r.offset) +
                    " (only the first record may be one)");
  });
}

void check_signature(const InstallerFile& file, const PackageHeader& header, const SignatureRecord& record,
                     const std::string& key_path) {
  const signify_public_key key = read_public_key(key_path);
  if (std::memcmp(key.key_number, record.key_number.data(), SIGNATURE_KEY_NUMBER_SIZE) != 0)
    throw Failure(file.path + ": BAD signature: signed by key number " + key_number_text(record.key_number.data()) +
                  ", but " + key_path + " is key number " + key_number_text(key.key_number));
  const PackageDigest digest = digest_file(file.fd.get(), file.path, header.payload_offset);
  if (!package_signature_valid(record.signature.data(), digest.data(), key.key))
    throw Failure(file.path + ": BAD signature: the file is not as key " + key_path + " signed it");
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
  check_no_stray_signature(file, *header);
  const auto record = read_signature_record(file.fd.get(), path, header->payload_offset, file.size);
  if (request.key && !record) throw Failure(path + ": not signed");
  if (request.key) check_signature(file, *header, *record, *request.key);
  std::fprintf(out, "%s: ok\n", path.c_str());
  if (!record) {
    std::fprintf(out, "%s: not signed\n", path.c_str());
    return;
  }
  const std::string number = key_number_text(record->key_number.data());
  if (request.key)
    std::fprintf(out, "%s: signature verified with %s (key number %s)\n", path.c_str(), request.key->c_str(),
                 number.c_str());
  else
    std::fprintf(out, "%s: signed by key %s (key number %s); not checked without --key\n", path.c_str(),
                 record->key_name.c_str(), number.c_str());
}

}  // namespace vnpack
