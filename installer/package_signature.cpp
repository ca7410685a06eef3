// package_signature.cpp - the signed digest of a package and signify's key
// files, shared by the installer and vnpack.
#include "package_signature.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// BLAKE2b's personalisation keeps leaf and root digests apart, so that no
// leaf can pass for a row of leaf digests.
const unsigned char LEAF_PERSONAL[crypto_generichash_blake2b_PERSONALBYTES] = "vnpackage leaf";
const unsigned char ROOT_PERSONAL[crypto_generichash_blake2b_PERSONALBYTES] = "vnpackage root";
constexpr uint64_t CRC_FIELD_SIZE = 4;

void start(crypto_generichash_blake2b_state* state, size_t size, const unsigned char* personal) {
  crypto_generichash_blake2b_init_salt_personal(state, nullptr, 0, size, nullptr, personal);
}

void hash_leaf(const unsigned char* data, size_t n, unsigned char out[PACKAGE_DIGEST_LEAF_DIGEST_SIZE]) {
  crypto_generichash_blake2b_state leaf;
  start(&leaf, PACKAGE_DIGEST_LEAF_DIGEST_SIZE, LEAF_PERSONAL);
  crypto_generichash_blake2b_update(&leaf, data, n);
  crypto_generichash_blake2b_final(&leaf, out, PACKAGE_DIGEST_LEAF_DIGEST_SIZE);
}

// Zeros the bytes of the field [at, at + size) that the buffer holds; the
// buffer's first byte is file byte `first`.
void mask_field(unsigned char* buf, uint64_t first, size_t n, uint64_t at, uint64_t size) {
  const uint64_t from = at > first ? at : first;
  const uint64_t to = at + size < first + n ? at + size : first + n;
  if (from < to) std::memset(buf + (from - first), 0, static_cast<size_t>(to - from));
}

}  // namespace

enum worker_state { worker_idle, worker_pending, worker_done, worker_quit };

// One thread that hashes the leaves handed to it, one at a time. A plain
// record from malloc: the installer program carries no C++ allocator.
struct leaf_worker {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t changed;
  worker_state state;
  const unsigned char* data;
  size_t size;
  unsigned char digest[PACKAGE_DIGEST_LEAF_DIGEST_SIZE];
};

namespace {

void* leaf_worker_main(void* arg) {
  auto* w = static_cast<leaf_worker*>(arg);
  pthread_mutex_lock(&w->lock);
  for (;;) {
    while (w->state != worker_pending && w->state != worker_quit) pthread_cond_wait(&w->changed, &w->lock);
    if (w->state == worker_quit) break;
    const unsigned char* data = w->data;
    const size_t size = w->size;
    pthread_mutex_unlock(&w->lock);
    unsigned char digest[PACKAGE_DIGEST_LEAF_DIGEST_SIZE];
    hash_leaf(data, size, digest);
    pthread_mutex_lock(&w->lock);
    std::memcpy(w->digest, digest, sizeof digest);
    w->state = worker_done;
    pthread_cond_broadcast(&w->changed);
  }
  pthread_mutex_unlock(&w->lock);
  return nullptr;
}

void free_worker(leaf_worker* w) {
  pthread_cond_destroy(&w->changed);
  pthread_mutex_destroy(&w->lock);
  std::free(w);
}

leaf_worker* start_worker() {
  auto* w = static_cast<leaf_worker*>(std::calloc(1, sizeof(leaf_worker)));
  if (w == nullptr) return nullptr;
  pthread_mutex_init(&w->lock, nullptr);
  pthread_cond_init(&w->changed, nullptr);
  w->state = worker_idle;
  if (pthread_create(&w->thread, nullptr, leaf_worker_main, w) != 0) {
    free_worker(w);
    return nullptr;
  }
  return w;
}

void set_state(leaf_worker* w, worker_state state) {
  pthread_mutex_lock(&w->lock);
  w->state = state;
  pthread_cond_broadcast(&w->changed);
  pthread_mutex_unlock(&w->lock);
}

void hand_to_worker(leaf_worker* w, const unsigned char* data, size_t size) {
  pthread_mutex_lock(&w->lock);
  w->data = data;
  w->size = size;
  pthread_mutex_unlock(&w->lock);
  set_state(w, worker_pending);
}

void take_from_worker(leaf_worker* w, unsigned char out[PACKAGE_DIGEST_LEAF_DIGEST_SIZE]) {
  pthread_mutex_lock(&w->lock);
  while (w->state != worker_done) pthread_cond_wait(&w->changed, &w->lock);
  std::memcpy(out, w->digest, PACKAGE_DIGEST_LEAF_DIGEST_SIZE);
  w->state = worker_idle;
  pthread_mutex_unlock(&w->lock);
}

// The root takes the leaf digests in file order: the worker's leaf, which
// comes first, before the one just hashed here.
void absorb_worker_leaf(package_digest* d) {
  if (!d->worker_busy) return;
  unsigned char leaf[PACKAGE_DIGEST_LEAF_DIGEST_SIZE];
  take_from_worker(d->worker, leaf);
  crypto_generichash_blake2b_update(&d->root, leaf, sizeof leaf);
  d->worker_busy = false;
}

// The current leaf buffer is complete (or, at the end, holds the last
// leaf): even leaves go to the worker, odd ones are hashed here meanwhile.
void close_leaf(package_digest* d, bool last) {
  unsigned char* buf = d->leaves[d->current];
  if (d->worker != nullptr && d->leaf_number % 2 == 0 && !last) {
    hand_to_worker(d->worker, buf, d->fill);
    d->worker_busy = true;
    d->current ^= 1;
  } else {
    unsigned char leaf[PACKAGE_DIGEST_LEAF_DIGEST_SIZE];
    hash_leaf(buf, d->fill, leaf);
    absorb_worker_leaf(d);
    crypto_generichash_blake2b_update(&d->root, leaf, sizeof leaf);
  }
  d->leaf_number++;
  d->fill = 0;
}

bool decode_line(const char* line, size_t length, unsigned char* out, size_t n) {
  size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, n, line, length, nullptr, &decoded, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return decoded == n && end == line + length;
}

}  // namespace

bool package_digest_init(package_digest* d, uint64_t payload_offset, bool use_thread) {
  std::memset(d, 0, sizeof *d);
  start(&d->root, PACKAGE_DIGEST_SIZE, ROOT_PERSONAL);
  d->crc_at = payload_offset + HEADER_CRC_OFFSET;
  d->signature_at = payload_offset + PACKAGE_HEADER_SIZE + RECORD_HEAD_SIZE + SIGNATURE_BYTES_OFFSET;
  for (unsigned char*& leaf : d->leaves) leaf = static_cast<unsigned char*>(std::malloc(PACKAGE_DIGEST_LEAF_SIZE));
  if (d->leaves[0] == nullptr || d->leaves[1] == nullptr) {
    for (unsigned char* leaf : d->leaves) std::free(leaf);
    return false;
  }
  if (use_thread) d->worker = start_worker();
  return true;
}

void package_digest_update(package_digest* d, const unsigned char* data, size_t n) {
  while (n > 0) {
    const size_t room = PACKAGE_DIGEST_LEAF_SIZE - d->fill;
    const size_t take = n < room ? n : room;
    unsigned char* to = d->leaves[d->current] + d->fill;
    std::memcpy(to, data, take);
    mask_field(to, d->total, take, d->crc_at, CRC_FIELD_SIZE);
    mask_field(to, d->total, take, d->signature_at, SIGNATURE_BYTES_SIZE);
    d->fill += static_cast<uint32_t>(take);
    d->total += take;
    data += take;
    n -= take;
    if (d->fill == PACKAGE_DIGEST_LEAF_SIZE) close_leaf(d, false);
  }
}

void package_digest_final(package_digest* d, unsigned char out[PACKAGE_DIGEST_SIZE]) {
  if (d->fill > 0) close_leaf(d, true);
  absorb_worker_leaf(d);
  if (d->worker != nullptr) {
    set_state(d->worker, worker_quit);
    pthread_join(d->worker->thread, nullptr);
    free_worker(d->worker);
    d->worker = nullptr;
  }
  for (unsigned char*& leaf : d->leaves) {
    std::free(leaf);
    leaf = nullptr;
  }
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
