// large_pages.h - memory for the buffers of megabytes that decoding threads
// keep, aligned for large pages where the system has them.
//
// A buffer of a few megabytes touched for the first time costs one page
// fault per 4 KiB page. On virtual machines such a fault can cost several
// microseconds, so filling a bzip2 decoder's tables once cost milliseconds,
// as much as decoding a small block; and tables read at random miss the
// address translation cache on nearly every access with small pages. Memory
// on a 2 MiB boundary, advised for transparent huge pages, faults once per
// 2 MiB and needs few translations. The price is memory counted in whole
// 2 MiB pages once they are touched.
#ifndef VNINSTALL_LARGE_PAGES_H
#define VNINSTALL_LARGE_PAGES_H

#include <cstddef>

constexpr size_t LARGE_PAGE_BYTES = size_t{2} << 20;

// n rounded up to whole large pages (n itself when that would overflow).
size_t large_size(size_t n);

// large_size(n) bytes on a large-page boundary, to be freed with free();
// null when there is no memory for them.
void* large_alloc(size_t n);
// The same with the pages of its first n bytes touched at once: memory
// that will be used whole, taken before the work that needs it starts.
void* large_alloc_touched(size_t n);

// Pieces cut front to back from one large-page region, which is taken when
// the first one is: many buffers of a few hundred KiB that are kept, at
// the cost of one page fault per 2 MiB. A piece is never freed alone;
// region_release frees them all.
struct large_region {
  char* base;
  size_t size;  // 0 until the region is taken
  size_t used;
};

// n bytes from a region of `size` bytes; null once it is full, or when
// there is no memory for it.
void* region_cut(large_region& r, size_t size, size_t n);
bool region_holds(const large_region& r, const void* p);
void region_release(large_region& r);

#endif  // VNINSTALL_LARGE_PAGES_H
