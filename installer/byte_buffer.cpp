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
  if (b.mapped) return buffer_try_reserve_large(b, n);
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
  large_region r{};
  if (!large_reserve(r, n)) return false;
  if (b.size > 0) std::memcpy(r.data, b.data, b.size);
  const size_t size = b.size;
  buffer_free(b);
  b = {static_cast<unsigned char*>(r.data), size, r.size, true};
  return true;
}

void buffer_free(byte_buffer& b) {
  if (b.mapped) {
    large_region r{b.data, b.capacity};
    large_release(r);
  } else {
    std::free(b.data);
  }
  b = {};
}
