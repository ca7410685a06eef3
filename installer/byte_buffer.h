// byte_buffer.h - a growable run of bytes, for the input and output the
// threaded decompressors hold. Growing one fails only for want of memory;
// each codec's code then ends the program with that codec's message.
#ifndef VNINSTALL_BYTE_BUFFER_H
#define VNINSTALL_BYTE_BUFFER_H

#include <cstddef>

struct byte_buffer {
  unsigned char* data;
  size_t size;
  size_t capacity;
};

// Room for n bytes in all, the capacity doubled from 64 KiB until it holds
// them; false, with the buffer as it was, when there is no memory for it.
bool buffer_try_reserve(byte_buffer& b, size_t n);
// The same in large pages, for a buffer of a megabyte or more that is kept
// and refilled: its pages fault in once per 2 MiB.
bool buffer_try_reserve_large(byte_buffer& b, size_t n);
void buffer_free(byte_buffer& b);

#endif  // VNINSTALL_BYTE_BUFFER_H
