// signify_keys.cpp - reading, generating and signing with signify keys.
#include "signify_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "errors.h"
#include "file_io.h"

namespace vnpack {

namespace {

// signify's secret key: "Ed", the key derivation "BK", its 32-bit round
// count (0: no passphrase), a 16-byte salt, an 8-byte checksum (the first
// bytes of the key's SHA-512), the key number and the Ed25519 secret key.
constexpr char KDF_ALGORITHM[] = "BK";
constexpr size_t KDF_ROUNDS_OFFSET = 4;
constexpr size_t SALT_SIZE = 16;
constexpr size_t CHECKSUM_OFFSET = KDF_ROUNDS_OFFSET + 4 + SALT_SIZE;
constexpr size_t CHECKSUM_SIZE = 8;
constexpr size_t SECRET_KEY_NUMBER_OFFSET = CHECKSUM_OFFSET + CHECKSUM_SIZE;
constexpr size_t SECRET_KEY_OFFSET = SECRET_KEY_NUMBER_OFFSET + SIGNATURE_KEY_NUMBER_SIZE;
constexpr size_t SIGNIFY_SECRET_KEY_SIZE = SECRET_KEY_OFFSET + ED25519_SECRET_KEY_SIZE;
constexpr const char* SECRET_SUFFIX = ".sec";
constexpr const char* PUBLIC_SUFFIX = ".pub";

void require_sodium() {
  if (sodium_init() < 0) throw Failure("cannot initialise libsodium");
}

std::string read_key_text(const std::string& path) {
  Fd fd = open_for_reading(path);
  std::string text(KEY_FILE_MAX + 1, '\0');
  size_t got = read_some(fd.get(), text.data(), text.size(), path);
  if (got > KEY_FILE_MAX) throw Failure(path + ": not a signify key file (longer than " + std::to_string(KEY_FILE_MAX) + " bytes)");
  text.resize(got);
  return text;
}

std::array<unsigned char, CHECKSUM_SIZE> key_checksum(const unsigned char* key) {
  unsigned char hash[crypto_hash_sha512_BYTES];
  crypto_hash_sha512(hash, key, ED25519_SECRET_KEY_SIZE);
  std::array<unsigned char, CHECKSUM_SIZE> sum{};
  std::memcpy(sum.data(), hash, sum.size());
  return sum;
}

std::string public_name_for(const std::string& secret_path) {
  std::string name = last_component(secret_path);
  const size_t suffix = std::strlen(SECRET_SUFFIX);
  if (name.size() <= suffix || name.compare(name.size() - suffix, suffix, SECRET_SUFFIX) != 0)
    throw Failure(secret_path + ": a secret key's name must end in " + SECRET_SUFFIX +
                  ": its public key, named alike with " + PUBLIC_SUFFIX + ", is what installers look for");
  name.replace(name.size() - suffix, suffix, PUBLIC_SUFFIX);
  if (!is_plain_key_name(name.data(), name.size()))
    throw Failure(secret_path + ": the public key's name " + name + " is not 1 to " +
                  std::to_string(SIGNATURE_KEY_NAME_MAX) + " printable characters");
  return name;
}

uint32_t big_endian32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Creates path with mode, refusing an existing file, and writes text.
void write_new_file(const std::string& path, const std::string& text, mode_t mode) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) fail_errno(path, "cannot create the key file");
  write_all(fd.get(), text.data(), text.size(), path);
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) fail_errno(path, "write error");
}

void refuse_existing(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) throw Failure(path + ": exists already; vnpack keygen replaces no key");
}

}  // namespace

SecretKey read_secret_key(const std::string& path) {
  require_sodium();
  const std::string text = read_key_text(path);
  unsigned char raw[SIGNIFY_SECRET_KEY_SIZE];
  size_t rest_at = 0;
  if (const char* problem = decode_signify_text(text.data(), text.size(), raw, sizeof raw, &rest_at))
    throw Failure(path + ": not a signify secret key: " + problem);
  if (std::memcmp(raw + SIGNATURE_ALGORITHM_SIZE, KDF_ALGORITHM, 2) != 0)
    throw Failure(path + ": not a signify secret key: unknown key derivation");
  if (big_endian32(raw + KDF_ROUNDS_OFFSET) != 0)
    throw Failure(path + ": the secret key is protected by a passphrase, which vnpack cannot read; make a key " +
                  "without one: signify -G -n -p KEY.pub -s KEY.sec, or vnpack keygen -p KEY.pub -s KEY.sec");
  SecretKey key;
  std::memcpy(key.key_number.data(), raw + SECRET_KEY_NUMBER_OFFSET, key.key_number.size());
  std::memcpy(key.key.data(), raw + SECRET_KEY_OFFSET, key.key.size());
  if (std::memcmp(key_checksum(key.key.data()).data(), raw + CHECKSUM_OFFSET, CHECKSUM_SIZE) != 0)
    throw Failure(path + ": the secret key is damaged (its checksum does not match)");
  sodium_memzero(raw, sizeof raw);
  key.public_name = public_name_for(path);
  return key;
}

signify_public_key read_public_key(const std::string& path) {
  const std::string text = read_key_text(path);
  signify_public_key key{};
  if (const char* problem = parse_signify_public_key(text.data(), text.size(), &key))
    throw Failure(path + ": not a signify public key: " + problem);
  return key;
}

void generate_key_pair(const std::string& public_path, const std::string& secret_path) {
  require_sodium();
  if (public_path == secret_path) throw Failure(public_path + ": the public and the secret key need two files");
  refuse_existing(public_path);
  refuse_existing(secret_path);
  unsigned char public_key[ED25519_PUBLIC_KEY_SIZE];
  unsigned char secret[SIGNIFY_SECRET_KEY_SIZE] = {};
  unsigned char* secret_key = secret + SECRET_KEY_OFFSET;
  crypto_sign_ed25519_keypair(public_key, secret_key);
  std::memcpy(secret, SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE);
  std::memcpy(secret + SIGNATURE_ALGORITHM_SIZE, KDF_ALGORITHM, 2);
  randombytes_buf(secret + KDF_ROUNDS_OFFSET + 4, SALT_SIZE);
  randombytes_buf(secret + SECRET_KEY_NUMBER_OFFSET, SIGNATURE_KEY_NUMBER_SIZE);
  const auto sum = key_checksum(secret_key);
  std::memcpy(secret + CHECKSUM_OFFSET, sum.data(), sum.size());

  unsigned char pub[SIGNIFY_PUBLIC_KEY_SIZE];
  std::memcpy(pub, SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE);
  std::memcpy(pub + SIGNATURE_KEY_NUMBER_OFFSET, secret + SECRET_KEY_NUMBER_OFFSET, SIGNATURE_KEY_NUMBER_SIZE);
  std::memcpy(pub + SIGNATURE_KEY_NUMBER_OFFSET + SIGNATURE_KEY_NUMBER_SIZE, public_key, sizeof public_key);

  std::string secret_text = signify_file_text("vnpack secret key", {reinterpret_cast<char*>(secret), sizeof secret});
  sodium_memzero(secret, sizeof secret);
  write_new_file(secret_path, secret_text, 0600);
  sodium_memzero(secret_text.data(), secret_text.size());
  // Half a key pair is of no use: the secret key goes when its public key
  // cannot be written.
  try {
    write_new_file(public_path, signify_file_text("vnpack public key", {reinterpret_cast<char*>(pub), sizeof pub}),
                   0644);
  } catch (...) {
    ::unlink(secret_path.c_str());
    throw;
  }
}

std::string signify_signature(const SecretKey& key, std::string_view message) {
  std::string sig(SIGNIFY_SIGNATURE_SIZE, '\0');
  auto* out = reinterpret_cast<unsigned char*>(sig.data());
  std::memcpy(out, SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE);
  std::memcpy(out + SIGNATURE_KEY_NUMBER_OFFSET, key.key_number.data(), SIGNATURE_KEY_NUMBER_SIZE);
  crypto_sign_ed25519_detached(out + SIGNATURE_BYTES_OFFSET, nullptr,
                               reinterpret_cast<const unsigned char*>(message.data()), message.size(), key.key.data());
  return sig;
}

std::string signify_file_text(const std::string& comment, std::string_view data) {
  std::vector<char> base64(sodium_base64_ENCODED_LEN(data.size(), sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(base64.data(), base64.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  return std::string(SIGNIFY_COMMENT_PREFIX) + comment + "\n" + base64.data() + "\n";
}

std::string key_number_text(const unsigned char* number) {
  char text[2 * SIGNATURE_KEY_NUMBER_SIZE + 1];
  format_key_number(number, text);
  return text;
}

}  // namespace vnpack
