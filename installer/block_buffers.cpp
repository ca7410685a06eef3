// Buffers and marker lists of the multi-threaded bzip2 path.
#include "block_buffers.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>

#include "archive.h"

namespace {

constexpr size_t FIRST_MARKER_CAPACITY = 64;

// Where bz2_find_markers puts what it finds: bits counted from `base`.
struct marker_sink {
  marker_list* list;
  uint64_t base;
};

void push_found(void* sink, bz2_marker m) {
  auto& to = *static_cast<marker_sink*>(sink);
  markers_push(*to.list, {m.bit + to.base, m.is_end});
}

}  // namespace

void blocks_out_of_memory() {
  report_bz2_fatal("bzDecompress", BZ_MEM_ERROR);
}

void* blocks_grow(void* block, size_t size) {
  void* p = std::realloc(block, size);
  if (p == nullptr) blocks_out_of_memory();
  return p;
}

void buffer_reserve(byte_buffer& b, size_t n) {
  if (!buffer_try_reserve(b, n)) blocks_out_of_memory();
}

void buffer_assign(byte_buffer& b, const unsigned char* p, size_t n) {
  b.size = 0;
  buffer_reserve(b, n);
  std::memcpy(b.data, p, n);
  b.size = n;
}

void markers_push(marker_list& l, bz2_marker m) {
  if (l.end == l.capacity) {
    if (l.begin > 0) {
      std::memmove(l.items, l.items + l.begin, (l.end - l.begin) * sizeof *l.items);
      l.end -= l.begin;
      l.begin = 0;
    }
    if (l.end == l.capacity) {
      l.capacity = l.capacity > 0 ? l.capacity * 2 : FIRST_MARKER_CAPACITY;
      l.items = static_cast<bz2_marker*>(blocks_grow(l.items, l.capacity * sizeof *l.items));
    }
  }
  // Markers come in order; a test's extra ones are put in their place.
  size_t i = l.end++;
  for (; i > l.begin && l.items[i - 1].bit > m.bit; --i) l.items[i] = l.items[i - 1];
  l.items[i] = m;
}

void markers_scan(marker_list& l, const unsigned char* p, size_t n, uint64_t base_byte) {
  marker_sink sink{&l, base_byte * 8};
  bz2_find_markers(p, 0, n, push_found, &sink);
}

void markers_scan_tail(marker_list& l, const unsigned char* p, size_t n, uint64_t base_byte, uint64_t total_bytes) {
  // The last bytes, padded with zeros; a marker must end before them.
  unsigned char tail[2 * BZ2_MARKER_SPAN] = {};
  std::memcpy(tail, p, n);
  marker_list last{};
  markers_scan(last, tail, n, base_byte);
  for (size_t i = 0; i < markers_size(last); ++i)
    if (marker(last, i).bit + BZ2_MARKER_BITS <= total_bytes * 8) markers_push(l, marker(last, i));
  std::free(last.items);
}
