// package_signature.cpp - the signed digest of a package and signify's key
// files, shared by the installer and vnpack.
#include "package_signature.h"

#include <cstdio>
#include <cstring>

namespace {

// BLAKE2b's personalisation keeps leaf and root digests apart, so that no
// leaf can pass for a row of leaf digests.
const unsigned char LEAF_PERSONAL[crypto_generichash_blake2b_PERSONALBYTES] = "vnpackage leaf";
const unsigned char ROOT_PERSONAL[crypto_generichash_blake2b_PERSONALBYTES] = "vnpackage root";
const unsigned char ZEROS[SIGNATURE_BYTES_SIZE] = {};
constexpr uint64_t CRC_FIELD_SIZE = 4;

void start(crypto_generichash_blake2b_state* state, size_t size, const unsigned char* personal) {
  crypto_generichash_blake2b_init_salt_personal(state, nullptr, 0, size, nullptr, personal);
}

void close_leaf(package_digest* d) {
  unsigned char leaf[PACKAGE_DIGEST_LEAF_DIGEST_SIZE];
  crypto_generichash_blake2b_final(&d->leaf, leaf, sizeof leaf);
  crypto_generichash_blake2b_update(&d->root, leaf, sizeof leaf);
  start(&d->leaf, PACKAGE_DIGEST_LEAF_DIGEST_SIZE, LEAF_PERSONAL);
  d->leaf_fill = 0;
}

// Bytes in file order, cut at the leaf boundaries.
void feed(package_digest* d, const unsigned char* data, size_t n) {
  while (n > 0) {
    const size_t room = PACKAGE_DIGEST_LEAF_SIZE - d->leaf_fill;
    const size_t take = n < room ? n : room;
    crypto_generichash_blake2b_update(&d->leaf, data, take);
    d->leaf_fill += static_cast<uint32_t>(take);
    d->total += take;
    data += take;
    n -= take;
    if (d->leaf_fill == PACKAGE_DIGEST_LEAF_SIZE) close_leaf(d);
  }
}

// How many of the next `left` bytes, from the current position, lie inside
// (or, when outside, before) the field [at, at + size).
uint64_t field_cut(uint64_t pos, uint64_t left, uint64_t at, uint64_t size, bool* inside) {
  *inside = pos >= at && pos < at + size;
  if (*inside) return at + size - pos < left ? at + size - pos : left;
  return pos < at && at - pos < left ? at - pos : left;
}

bool decode_line(const char* line, size_t length, unsigned char* out, size_t n) {
  size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, n, line, length, nullptr, &decoded, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return decoded == n && end == line + length;
}

}  // namespace

void package_digest_init(package_digest* d, uint64_t payload_offset) {
  start(&d->root, PACKAGE_DIGEST_SIZE, ROOT_PERSONAL);
  start(&d->leaf, PACKAGE_DIGEST_LEAF_DIGEST_SIZE, LEAF_PERSONAL);
  d->total = 0;
  d->leaf_fill = 0;
  d->crc_at = payload_offset + HEADER_CRC_OFFSET;
  d->signature_at = payload_offset + PACKAGE_HEADER_SIZE + RECORD_HEAD_SIZE + SIGNATURE_BYTES_OFFSET;
}

void package_digest_update(package_digest* d, const unsigned char* data, size_t n) {
  uint64_t left = n;
  while (left > 0) {
    bool in_crc = false, in_signature = false;
    uint64_t take = field_cut(d->total, left, d->crc_at, CRC_FIELD_SIZE, &in_crc);
    take = field_cut(d->total, take, d->signature_at, SIGNATURE_BYTES_SIZE, &in_signature);
    // Field pieces are at most SIGNATURE_BYTES_SIZE long.
    feed(d, in_crc || in_signature ? ZEROS : data, static_cast<size_t>(take));
    data += take;
    left -= take;
  }
}

void package_digest_final(package_digest* d, unsigned char out[PACKAGE_DIGEST_SIZE]) {
  if (d->leaf_fill > 0) close_leaf(d);
  // The length ends the root's input: a file is not a prefix of another.
  unsigned char length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(d->total >> (56 - 8 * i));
  crypto_generichash_blake2b_update(&d->root, length, sizeof length);
  crypto_generichash_blake2b_final(&d->root, out, PACKAGE_DIGEST_SIZE);
}

void package_signed_message(const unsigned char digest[PACKAGE_DIGEST_SIZE], unsigned char out[SIGNED_MESSAGE_SIZE]) {
  const size_t context = sizeof SIGNED_DIGEST_CONTEXT - 1;
  std::memcpy(out, SIGNED_DIGEST_CONTEXT, context);
  std::memcpy(out + context, digest, PACKAGE_DIGEST_SIZE);
}

bool package_signature_valid(const unsigned char signature[SIGNATURE_BYTES_SIZE],
                             const unsigned char digest[PACKAGE_DIGEST_SIZE],
                             const unsigned char public_key[ED25519_PUBLIC_KEY_SIZE]) {
  unsigned char message[SIGNED_MESSAGE_SIZE];
  package_signed_message(digest, message);
  return crypto_sign_ed25519_verify_detached(signature, message, sizeof message, public_key) == 0;
}

const char* decode_signify_text(const char* text, size_t length, unsigned char* out, size_t n, size_t* rest_at) {
  const size_t prefix = sizeof SIGNIFY_COMMENT_PREFIX - 1;
  if (length < prefix || std::memcmp(text, SIGNIFY_COMMENT_PREFIX, prefix) != 0)
    return "it does not begin with \"untrusted comment: \"";
  const void* comment_end = std::memchr(text, '\n', length);
  if (comment_end == nullptr) return "it ends after the comment line";
  const char* line = static_cast<const char*>(comment_end) + 1;
  const size_t left = length - static_cast<size_t>(line - text);
  const void* newline = std::memchr(line, '\n', left);
  const size_t line_length = newline != nullptr ? static_cast<size_t>(static_cast<const char*>(newline) - line) : left;
  if (!decode_line(line, line_length, out, n)) return "its second line is not the base64 text of a key of this kind";
  if (std::memcmp(out, SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE) != 0) return "it is not an Ed25519 key";
  *rest_at = static_cast<size_t>(line - text) + line_length + (newline != nullptr ? 1 : 0);
  return nullptr;
}

const char* parse_signify_public_key(const char* text, size_t length, signify_public_key* key) {
  unsigned char raw[SIGNIFY_PUBLIC_KEY_SIZE];
  size_t rest_at = 0;
  if (const char* problem = decode_signify_text(text, length, raw, sizeof raw, &rest_at)) return problem;
  if (rest_at != length) return "more follows the key";
  std::memcpy(key->key_number, raw + SIGNATURE_KEY_NUMBER_OFFSET, SIGNATURE_KEY_NUMBER_SIZE);
  std::memcpy(key->key, raw + SIGNATURE_KEY_NUMBER_OFFSET + SIGNATURE_KEY_NUMBER_SIZE, ED25519_PUBLIC_KEY_SIZE);
  return nullptr;
}

bool is_plain_key_name(const char* name, size_t length) {
  if (length == 0 || length > SIGNATURE_KEY_NAME_MAX) return false;
  if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.')) return false;
  for (size_t i = 0; i < length; ++i)
    if (name[i] < 0x20 || name[i] > 0x7e || name[i] == '/') return false;
  return true;
}

void format_key_number(const unsigned char number[SIGNATURE_KEY_NUMBER_SIZE], char out[17]) {
  for (size_t i = 0; i < SIGNATURE_KEY_NUMBER_SIZE; ++i) std::snprintf(out + 2 * i, 3, "%02x", number[i]);
}
