// Large-page memory: malloc's own aligned blocks, with the advice added.
#include "large_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

size_t large_size(size_t n) {
  if (n > static_cast<size_t>(-1) - LARGE_PAGE_BYTES) return n;
  return (n + LARGE_PAGE_BYTES - 1) / LARGE_PAGE_BYTES * LARGE_PAGE_BYTES;
}

void* large_alloc(size_t n) {
  const size_t size = large_size(n);
  void* block = nullptr;
  if (posix_memalign(&block, LARGE_PAGE_BYTES, size) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);  // only advice: without it, small pages
#endif
  return block;
}

void* large_alloc_touched(size_t n) {
  auto* block = static_cast<volatile char*>(large_alloc(n));
  if (block == nullptr) return nullptr;
  constexpr size_t SMALL_PAGE_BYTES = 4096;
  // Up to n only: with large pages the last one comes whole anyway, and
  // without them the rest stays untouched.
  for (size_t at = 0; at < n; at += SMALL_PAGE_BYTES) block[at] = 0;
  return const_cast<char*>(block);
}

void* region_cut(large_region& r, size_t size, size_t n) {
  if (r.base == nullptr) {
    r.base = static_cast<char*>(large_alloc(size));
    if (r.base == nullptr) return nullptr;
    r.size = large_size(size);
  }
  if (n > r.size - r.used) return nullptr;
  void* piece = r.base + r.used;
  r.used += n;
  return piece;
}

bool region_holds(const large_region& r, const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  const auto base = reinterpret_cast<uintptr_t>(r.base);
  return r.base != nullptr && at >= base && at - base < r.size;
}

void region_release(large_region& r) {
  std::free(r.base);
  r = {};
}
