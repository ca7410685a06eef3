// Large-page regions: anonymous mappings cut to a 2 MiB boundary.
#include "large_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace {

size_t round_up(size_t n) { return (n + LARGE_PAGE_BYTES - 1) / LARGE_PAGE_BYTES * LARGE_PAGE_BYTES; }

// A mapping of size bytes that starts on a large-page boundary: one large
// page more is mapped, and what lies outside the aligned part is unmapped.
void* map_aligned(size_t size) {
  const size_t mapped = size + LARGE_PAGE_BYTES;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + LARGE_PAGE_BYTES - 1) & ~uintptr_t{LARGE_PAGE_BYTES - 1};
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + mapped;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

bool large_reserve(large_region& r, size_t n) {
  if (n <= r.size) return true;
  if (n > SIZE_MAX - 2 * LARGE_PAGE_BYTES) return false;
  const size_t size = round_up(n);
  void* p = map_aligned(size);
  if (p == nullptr) return false;
#ifdef MADV_HUGEPAGE
  // Only advice: without large pages the region works the same.
  madvise(p, size, MADV_HUGEPAGE);
#endif
  large_release(r);
  r = {p, size};
  return true;
}

void large_release(large_region& r) {
  if (r.size > 0) munmap(r.data, r.size);
  r = {nullptr, 0};
}
