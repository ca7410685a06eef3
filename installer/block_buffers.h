// block_buffers.h - the buffers of the multi-threaded bzip2 path: growable
// byte runs for the record's input and each block's bytes, and the list of
// block markers found in the input.
#ifndef VNINSTALL_BLOCK_BUFFERS_H
#define VNINSTALL_BLOCK_BUFFERS_H

#include <cstddef>
#include <cstdint>

#include "byte_buffer.h"
#include "bz2_blocks.h"

// The installer stays free of the C++ runtime's allocation and exceptions:
// memory comes from malloc. Running out of memory ends the process, as a
// decompressor that cannot start does.
[[noreturn]] void blocks_out_of_memory();
void* blocks_grow(void* block, size_t size);

// Room for n bytes, or the end of the program with libbz2's message.
void buffer_reserve(byte_buffer& b, size_t n);
void buffer_assign(byte_buffer& b, const unsigned char* p, size_t n);

// Markers from the head on, in input order.
struct marker_list {
  bz2_marker* items;
  size_t begin;
  size_t end;
  size_t capacity;
};

inline size_t markers_size(const marker_list& l) { return l.end - l.begin; }
inline const bz2_marker& marker(const marker_list& l, size_t i) { return l.items[l.begin + i]; }
// Adds a marker in its place by bit position.
void markers_push(marker_list& l, bz2_marker m);

// Finds the markers that start in the bytes [0, n) of p, whose first byte is
// byte `base_byte` of the input, and adds them with their input positions.
// Bytes up to n + BZ2_MARKER_SPAN - 1 must exist.
void markers_scan(marker_list& l, const unsigned char* p, size_t n, uint64_t base_byte);
// The same for the last n (fewer than BZ2_MARKER_SPAN) bytes of an input
// of total_bytes: only markers that end within it count.
void markers_scan_tail(marker_list& l, const unsigned char* p, size_t n, uint64_t base_byte, uint64_t total_bytes);

#endif  // VNINSTALL_BLOCK_BUFFERS_H
