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

#endif  // VNINSTALL_LARGE_PAGES_H
