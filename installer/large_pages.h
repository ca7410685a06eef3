// large_pages.h - memory for the megabyte work tables of the decoding
// threads, mapped in large pages where the system has them.
//
// A table of a few megabytes touched for the first time costs one page
// fault per 4 KiB page. On virtual machines such a fault can cost several
// microseconds, so filling a bzip2 decoder's tables once cost milliseconds,
// as much as decoding a small block. A table mapped on a 2 MiB boundary
// and marked for transparent huge pages faults once per 2 MiB instead. The
// price is memory counted in whole 2 MiB pages once they are touched.
#ifndef VNINSTALL_LARGE_PAGES_H
#define VNINSTALL_LARGE_PAGES_H

#include <cstddef>

struct large_region {
  void* data;
  size_t size;  // a multiple of LARGE_PAGE_BYTES, or 0
};

constexpr size_t LARGE_PAGE_BYTES = 2 * 1024 * 1024;

// Room for n bytes: the region as it is when it holds them, else a new one
// (the old contents are dropped). False, with the region as it was, when
// no memory can be mapped.
bool large_reserve(large_region& r, size_t n);
void large_release(large_region& r);

#endif  // VNINSTALL_LARGE_PAGES_H
