// package_signer.h - signing an installer as vnpack build writes it, and
// checking a signed one for vnpack verify.
#ifndef VNPACK_PACKAGE_SIGNER_H
#define VNPACK_PACKAGE_SIGNER_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "signify_keys.h"

namespace vnpack {

using PackageDigest = std::array<unsigned char, PACKAGE_DIGEST_SIZE>;

// The signature record (head and body) that build writes directly behind
// the header: the key's number and its public key's name, the signature
// bytes zero until sign_package fills them in.
std::string signature_record(const SecretKey& key);

// The digest of the whole file, read in pieces.
PackageDigest digest_file(int fd, const std::string& path, uint64_t payload_offset);

// Signs the complete package (every record and the size in the header
// written) and stores the signature in its record.
void sign_package(int fd, const std::string& path, uint64_t payload_offset, const SecretKey& key);

// The contents of OUTPUT.SHA256.sig: signify's embedded signature over the
// checksum list "SHA256 (NAME) = HEX\n" of the file.
std::string signed_checksum_list(int fd, const std::string& path, const std::string& name, const SecretKey& key);

// Whether NAME can stand in a checksum list line.
bool listable_name(const std::string& name);

struct SignatureRecord {
  std::array<unsigned char, SIGNATURE_KEY_NUMBER_SIZE> key_number{};
  std::array<unsigned char, SIGNATURE_BYTES_SIZE> signature{};
  std::string key_name;
};

// The signature record behind the header, if the package has one; a
// Failure when it is damaged.
std::optional<SignatureRecord> read_signature_record(int fd, const std::string& path, uint64_t payload_offset,
                                                     uint64_t file_size);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_SIGNER_H
