// chk_alloc.cpp - checked allocation: thin wrappers over the C allocator.
//
// The printing variants report a failed request with one line on standard
// output and return null; nothing here ends the process or retries. Every
// request of 0 bytes is served as 1 byte, so that null always means failure
// (and a realloc to 0 never frees the caller's block behind its back).
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

size_t at_least_one(size_t size) { return size == 0 ? 1 : size; }

void report_failure(const char* verb, size_t size) {
  std::printf("CHK_ALLOC: Failed to %s memory. Wanted 0x%zx bytes\n", verb, size);
}

}  // namespace

void* chk_alloc(size_t size) {
  void* block = std::malloc(at_least_one(size));
  if (block == nullptr) report_failure("allocate", size);
  return block;
}

void* chk_zalloc(size_t size) {
  void* block = std::calloc(1, at_least_one(size));
  if (block == nullptr) report_failure("zallocate", size);
  return block;
}

void* chk_realloc(void* block, size_t size) {
  void* grown = std::realloc(block, at_least_one(size));
  if (grown == nullptr) report_failure("reallocate", size);
  return grown;
}

void* check_alloc(size_t size, const char* /*caller_name*/) {
  return std::malloc(at_least_one(size));
}

void* chk_calloc(size_t count, size_t size) {
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);  // calloc itself refuses count * size overflow
}

char* chk_strdup(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(chk_alloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

char* chk_makestr(const char* first, ...) {
  size_t total = 0;
  va_list args;
  va_start(args, first);
  for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
    total += std::strlen(part);
  }
  va_end(args);

  auto* joined = static_cast<char*>(check_alloc(total + 1, "chk_makestr"));
  if (joined == nullptr) return nullptr;

  char* out = joined;
  va_start(args, first);
  for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
    const size_t length = std::strlen(part);
    std::memcpy(out, part, length);
    out += length;
  }
  va_end(args);
  *out = '\0';
  return joined;
}

char* chk_strndup(const char* source, size_t n) {
  if (source == nullptr) return nullptr;
  auto* copy = static_cast<char*>(check_alloc(n, "chk_strndup"));
  if (copy != nullptr && n > 0) std::memcpy(copy, source, n);
  return copy;
}

void chk_free(void* block) { std::free(block); }

void chk_free_safe(void* block) {
  if (block != nullptr) std::free(block);
}

void chk_free_ptr(void** pointer) {
  if (pointer == nullptr || *pointer == nullptr) return;
  std::free(*pointer);
  *pointer = nullptr;
}

// Hooks kept for callers that bracket their work with them; nothing to do.
void chk_init() {}
void chk_exit() {}
void chk_error() {}
void chk_dump() {}

}  // namespace vn
