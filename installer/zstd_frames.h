// zstd_frames.h - the parts of the threaded zstd path: the record's input
// cut into whole frames as it is read, and the input handed back to the
// one-thread decompressor (zstd_unzip) from any frame on.
//
// vnpack writes independent frames of 1 MiB content, each with its size;
// the pool's threads decode such frames at once, each into a buffer of its
// own, while the calling thread writes them out in order. Anything else
// (a frame that does not state a size within the limit, a skippable frame,
// damage, a frame the input ends inside, trailing bytes) is left to
// zstd_unzip from that frame on, which then decides and reports exactly as
// it would have on one thread: frames are independent, so decoding from a
// frame's start gives what decoding up to it and on would.
#ifndef VNINSTALL_ZSTD_FRAMES_H
#define VNINSTALL_ZSTD_FRAMES_H

#include <cstddef>
#include <cstdint>

#include "byte_buffer.h"
#include "installer.h"

// The largest frame content the threads take: twice what vnpack writes, so
// a frame's buffers stay small at any level.
constexpr size_t ZSTD_FRAME_CONTENT_LIMIT = 2u << 20;
// Input asked of the reader at once.
constexpr size_t FRAME_READ_CHUNK = 256 * 1024;

// Room for n bytes, and n bytes more at the end; running out of memory
// ends the process with zstd's message.
void frame_bytes_reserve(byte_buffer& b, size_t n);
void frame_bytes_append(byte_buffer& b, const unsigned char* p, size_t n);
// Room for n bytes in a buffer of a slot of the frame ring, kept from frame
// to frame: in large pages once it holds a good part of a frame.
void frame_slot_reserve(byte_buffer& b, size_t n);

// The record's input as read so far: bytes [pos, buf.size) not yet taken.
struct frame_input {
  bz_context* ctx;
  byte_buffer buf;
  size_t pos;
  bool ended;     // the reader has nothing more
  uint64_t base;  // the record offset of buf.data[0]
};

enum class frame_kind {
  frame,  // a whole frame for the threads, at pos
  end,    // the input ended between frames
  other,  // anything else: for zstd_unzip from pos on
};

struct frame_found {
  frame_kind kind;
  size_t size;     // of the frame, in input bytes
  size_t content;  // its decompressed size
};

// Looks at the input from pos on, reading as much as the next frame needs.
frame_found next_frame(frame_input& in);

// The one-thread decompressor over `replayed` bytes, which stand at record
// offset `offset`, and then the rest of the input, writing into the
// caller's writer. With `ahead`, it runs ahead of the writer on a thread of
// its own when it can (decompress_ahead).
//
// The reader fills every request until the input ends (as the record
// reader does), so on one thread the decompressor's reads end at multiples
// of its request size from the record's start. The replayed bytes are
// handed out with their reads ending at the same offsets: how much of a
// damaged frame the library gives out before it fails depends on where
// its input was cut.
int unzip_rest(const bz_context& ctx, const unsigned char* replayed, size_t n, uint64_t offset, bool ahead);

#endif  // VNINSTALL_ZSTD_FRAMES_H
