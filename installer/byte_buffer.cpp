// A growable run of bytes.
#include "byte_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "large_pages.h"

namespace {

constexpr size_t FIRST_CAPACITY = 64 * 1024;

}  // namespace

bool buffer_try_reserve(byte_buffer& b, size_t n) {
  if (n <= b.capacity) return true;
  if (n > SIZE_MAX / 2) return false;
  size_t c = b.capacity > 0 ? b.capacity : FIRST_CAPACITY;
  while (c < n) c *= 2;
  void* p = std::realloc(b.data, c);
  if (p == nullptr) return false;
  b.data = static_cast<unsigned char*>(p);
  b.capacity = c;
  return true;
}

bool buffer_try_reserve_large(byte_buffer& b, size_t n) {
  if (n <= b.capacity) return true;
  auto* p = static_cast<unsigned char*>(large_alloc(n));
  if (p == nullptr) return false;
  if (b.size > 0) std::memcpy(p, b.data, b.size);
  std::free(b.data);
  b.data = p;
  b.capacity = large_size(n);
  return true;
}

void buffer_free(byte_buffer& b) {
  std::free(b.data);
  b = {};
}
