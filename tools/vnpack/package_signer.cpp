// package_signer.cpp - the signature record, the signed digest and the
// signed checksum list.
#include "package_signer.h"

#include <cstring>
#include <new>
#include <vector>

#include "errors.h"
#include "file_io.h"
#include "package_format.h"
#include "vnlib.h"

namespace vnpack {

namespace {

constexpr const char* CHECKSUM_ALGORITHM = "SHA256";

uint64_t signature_bytes_at(uint64_t payload_offset) {
  return payload_offset + PACKAGE_HEADER_SIZE + RECORD_HEAD_SIZE + SIGNATURE_BYTES_OFFSET;
}

std::string file_sha256_hex(int fd, const std::string& path) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<unsigned char> buf(IO_CHUNK);
  for (uint64_t pos = 0;;) {
    const size_t got = read_at(fd, buf.data(), buf.size(), pos, path);
    if (got == 0) break;
    crypto_hash_sha256_update(&state, buf.data(), got);
    pos += got;
  }
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, hash);
  char hex[2 * sizeof hash + 1];
  sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
  return hex;
}

}  // namespace

std::string signature_record(const SecretKey& key) {
  const uint32_t length = SIGNATURE_KEY_NAME_OFFSET + static_cast<uint32_t>(key.public_name.size());
  std::string record(RECORD_HEAD_SIZE + length, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(record.data());
  encode_record_head(bytes, length, RECORD_SIGNATURE);
  unsigned char* body = bytes + RECORD_HEAD_SIZE;
  std::memcpy(body, SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE);
  std::memcpy(body + SIGNATURE_KEY_NUMBER_OFFSET, key.key_number.data(), SIGNATURE_KEY_NUMBER_SIZE);
  std::memcpy(body + SIGNATURE_KEY_NAME_OFFSET, key.public_name.data(), key.public_name.size());
  return record;
}

PackageDigest digest_file(int fd, const std::string& path, uint64_t payload_offset) {
  package_digest d;
  if (!package_digest_init(&d, payload_offset, false)) throw std::bad_alloc();
  std::vector<unsigned char> buf(IO_CHUNK);
  PackageDigest digest{};
  try {
    for (uint64_t pos = 0;;) {
      const size_t got = read_at(fd, buf.data(), buf.size(), pos, path);
      if (got == 0) break;
      package_digest_update(&d, buf.data(), got);
      pos += got;
    }
  } catch (...) {
    package_digest_final(&d, digest.data());  // releases the buffers
    throw;
  }
  package_digest_final(&d, digest.data());
  return digest;
}

void sign_package(int fd, const std::string& path, uint64_t payload_offset, const SecretKey& key) {
  const PackageDigest digest = digest_file(fd, path, payload_offset);
  unsigned char message[SIGNED_MESSAGE_SIZE];
  package_signed_message(digest.data(), message);
  const std::string sig = signify_signature(key, {reinterpret_cast<char*>(message), sizeof message});
  write_at(fd, sig.data() + SIGNATURE_BYTES_OFFSET, SIGNATURE_BYTES_SIZE, signature_bytes_at(payload_offset), path);
}

std::string signed_checksum_list(int fd, const std::string& path, const std::string& name, const SecretKey& key) {
  const std::string list = std::string(CHECKSUM_ALGORITHM) + " (" + name + ") = " + file_sha256_hex(fd, path) + "\n";
  return signify_file_text("verify with " + key.public_name, signify_signature(key, list)) + list;
}

bool listable_name(const std::string& name) {
  return !name.empty() && name.find_first_of(")\n") == std::string::npos;
}

std::optional<SignatureRecord> read_signature_record(int fd, const std::string& path, uint64_t payload_offset,
                                                     uint64_t file_size) {
  const uint64_t at = payload_offset + PACKAGE_HEADER_SIZE;
  unsigned char head[RECORD_HEAD_SIZE];
  if (read_at(fd, head, sizeof head, at, path) != sizeof head || head[4] != RECORD_SIGNATURE) return std::nullopt;
  const uint32_t length = vn::LGET32(head);
  const std::string where = path + ": damaged signature record at offset " + std::to_string(at) + ": ";
  if (length <= SIGNATURE_KEY_NAME_OFFSET || length > SIGNATURE_BODY_MAX || at + RECORD_HEAD_SIZE + length > file_size)
    throw Failure(where + "its length " + std::to_string(length) + " is wrong");
  std::vector<unsigned char> body(length);
  if (read_at(fd, body.data(), length, at + RECORD_HEAD_SIZE, path) != length) throw Failure(where + "cut short");
  if (std::memcmp(body.data(), SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE) != 0)
    throw Failure(where + "not an Ed25519 signature");
  SignatureRecord r;
  r.key_name.assign(reinterpret_cast<const char*>(body.data()) + SIGNATURE_KEY_NAME_OFFSET, length - SIGNATURE_KEY_NAME_OFFSET);
  if (!is_plain_key_name(r.key_name.data(), r.key_name.size()))
    throw Failure(where + "the key name is not a plain file name");
  std::memcpy(r.key_number.data(), body.data() + SIGNATURE_KEY_NUMBER_OFFSET, r.key_number.size());
  std::memcpy(r.signature.data(), body.data() + SIGNATURE_BYTES_OFFSET, r.signature.size());
  return r;
}

}  // namespace vnpack
