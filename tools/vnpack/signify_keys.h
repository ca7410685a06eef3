// signify_keys.h - signify's key and signature files as vnpack reads and
// writes them: Ed25519 keys with an 8-byte key number, each file a comment
// line and one base64 line.
#ifndef VNPACK_SIGNIFY_KEYS_H
#define VNPACK_SIGNIFY_KEYS_H

#include <array>
#include <string>
#include <string_view>

#include "package_signature.h"

namespace vnpack {

constexpr size_t ED25519_SECRET_KEY_SIZE = 64;

struct SecretKey {
  std::array<unsigned char, SIGNATURE_KEY_NUMBER_SIZE> key_number{};
  std::array<unsigned char, ED25519_SECRET_KEY_SIZE> key{};
  std::string public_name;  // the file name of the matching public key
};

// An unencrypted signify secret key; a Failure for anything else (an
// encrypted key is refused with a hint how to make one without a
// passphrase). Its public key is taken to be named like it, with ".pub"
// for ".sec".
SecretKey read_secret_key(const std::string& path);

signify_public_key read_public_key(const std::string& path);

// A new key pair in signify's format, unencrypted; refuses to replace an
// existing file. The secret key gets mode 0600.
void generate_key_pair(const std::string& public_path, const std::string& secret_path);

// The Ed25519 signature of message, in signify's layout ("Ed", the key
// number, 64 bytes).
std::string signify_signature(const SecretKey& key, std::string_view message);

// A signify file: the comment line, then data in base64 on one line.
std::string signify_file_text(const std::string& comment, std::string_view data);

// The key number in 16 hexadecimal digits.
std::string key_number_text(const unsigned char* number);

}  // namespace vnpack

#endif  // VNPACK_SIGNIFY_KEYS_H
