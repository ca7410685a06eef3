// package_signature.h - what the installer and vnpack share about signed
// packages: the digest a signature covers, the message that is signed, and
// signify's public key files. Plain functions, no exceptions: the
// installer program links this.
#ifndef VNINSTALL_PACKAGE_SIGNATURE_H
#define VNINSTALL_PACKAGE_SIGNATURE_H

#include <sodium.h>

#include <cstddef>
#include <cstdint>

#include "package_layout.h"

constexpr size_t PACKAGE_DIGEST_SIZE = 64;
constexpr size_t ED25519_PUBLIC_KEY_SIZE = 32;
// signify's public key: "Ed", the key number, the Ed25519 public key.
constexpr size_t SIGNIFY_PUBLIC_KEY_SIZE = SIGNATURE_ALGORITHM_SIZE + SIGNATURE_KEY_NUMBER_SIZE + ED25519_PUBLIC_KEY_SIZE;
// A key file is two short lines; anything longer is no key file.
constexpr size_t KEY_FILE_MAX = 4096;
constexpr char SIGNIFY_COMMENT_PREFIX[] = "untrusted comment: ";
constexpr char SIGNIFY_ALGORITHM[] = "Ed";

// The file is digested in leaves of this size, whose digests are digested in
// turn: the leaves can be hashed in any order, on any number of threads.
constexpr uint32_t PACKAGE_DIGEST_LEAF_SIZE = 1u << 20;
constexpr size_t PACKAGE_DIGEST_LEAF_DIGEST_SIZE = 32;

struct leaf_worker;

// The digest of a package file as a signature covers it: every byte of the
// file in order, with the header's CRC field and the signature bytes of
// the signature record (which must directly follow the header) taken as
// zeros, so that both can be filled in after the digest is known.
struct package_digest {
  crypto_generichash_blake2b_state root;
  uint64_t total;           // bytes digested so far
  uint64_t crc_at;
  uint64_t signature_at;
  unsigned char* leaves[2]; // leaf buffers: one filled while the other is hashed
  int current;              // the buffer being filled
  uint32_t fill;            // bytes in it
  uint64_t leaf_number;
  leaf_worker* worker;      // hashes every other leaf; null: all on this thread
  bool worker_busy;         // it holds a leaf whose digest is not taken yet
};

// False when the leaf buffers cannot be allocated. With use_thread, every
// other leaf is hashed on a thread of its own (when one can be started);
// the digest is the same either way.
bool package_digest_init(package_digest* d, uint64_t payload_offset, bool use_thread);
// The next n bytes of the file.
void package_digest_update(package_digest* d, const unsigned char* data, size_t n);
// The digest; releases the buffers and ends the thread.
void package_digest_final(package_digest* d, unsigned char out[PACKAGE_DIGEST_SIZE]);

// What the Ed25519 signature signs: a fixed context text, then the digest.
constexpr char SIGNED_DIGEST_CONTEXT[] = "vninstall signed package digest\n";
constexpr size_t SIGNED_MESSAGE_SIZE = sizeof SIGNED_DIGEST_CONTEXT - 1 + PACKAGE_DIGEST_SIZE;
void package_signed_message(const unsigned char digest[PACKAGE_DIGEST_SIZE], unsigned char out[SIGNED_MESSAGE_SIZE]);

bool package_signature_valid(const unsigned char signature[SIGNATURE_BYTES_SIZE],
                             const unsigned char digest[PACKAGE_DIGEST_SIZE],
                             const unsigned char public_key[ED25519_PUBLIC_KEY_SIZE]);

struct signify_public_key {
  unsigned char key_number[SIGNATURE_KEY_NUMBER_SIZE];
  unsigned char key[ED25519_PUBLIC_KEY_SIZE];
};

// Decodes the one base64 line of a signify file ("untrusted comment: ..."
// line, base64 line; more may follow when more_allowed) into exactly n
// bytes. Returns null when it holds them, else what is wrong.
// *rest_at is set to the offset just past the base64 line.
const char* decode_signify_text(const char* text, size_t length, unsigned char* out, size_t n,
                                size_t* rest_at);

// Parses a public key file's contents; null when it is one, else what is
// wrong with it.
const char* parse_signify_public_key(const char* text, size_t length, signify_public_key* key);

// A key file name as a signature record may carry it: 1 to 255 printable
// ASCII characters, no "/", not "." or "..".
bool is_plain_key_name(const char* name, size_t length);

// The key number in 16 hexadecimal digits, for messages.
void format_key_number(const unsigned char number[SIGNATURE_KEY_NUMBER_SIZE], char out[17]);

#endif  // VNINSTALL_PACKAGE_SIGNATURE_H
