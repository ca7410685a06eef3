// zstd_frame_input.cpp - the record's input cut into whole zstd frames, and
// handed back to the one-thread decompressor from any frame on.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader and its sizes
#include <zstd.h>
#include <zstd_errors.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decompress_ahead.h"
#include "zstd_frames.h"

namespace {

// A frame of the largest content the threads take, compressed, stays below
// this; a longer one (possible only with empty blocks, which no compressor
// writes) is left to the one-thread path rather than held whole.
const size_t FRAME_INPUT_LIMIT = ZSTD_COMPRESSBOUND(ZSTD_FRAME_CONTENT_LIMIT) + 64 * 1024;

[[noreturn]] void out_of_memory() {
  char line[128];
  std::snprintf(line, sizeof line, "zstd: %s\n", ZSTD_getErrorString(ZSTD_error_memory_allocation));
  report_unzip_fatal(line);
}

size_t available(const frame_input& in) { return in.buf.size - in.pos; }

// Reads until `want` bytes from pos on are there or the input ends; true
// when they are there. Taken bytes are dropped first, so the buffer holds
// at most one frame and a chunk.
bool fill(frame_input& in, size_t want) {
  if (available(in) >= want) return true;
  if (in.pos > 0) {
    std::memmove(in.buf.data, in.buf.data + in.pos, available(in));
    in.buf.size -= in.pos;
    in.base += in.pos;
    in.pos = 0;
  }
  while (!in.ended && in.buf.size < want) {
    frame_bytes_reserve(in.buf, in.buf.size + FRAME_READ_CHUNK);
    const int n = in.ctx->reader(in.ctx, reinterpret_cast<char*>(in.buf.data + in.buf.size),
                                 static_cast<int>(FRAME_READ_CHUNK));
    if (n <= 0) in.ended = true;
    else in.buf.size += static_cast<size_t>(n);
  }
  return available(in) >= want;
}

// Whether the frame header at pos is one the threads take.
bool frame_for_threads(const frame_input& in, size_t& content) {
  ZSTD_frameHeader h;
  if (ZSTD_getFrameHeader(&h, in.buf.data + in.pos, available(in)) != 0) return false;
  if (h.frameType != ZSTD_frame || h.dictID != 0) return false;
  if (h.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN || h.frameContentSize > ZSTD_FRAME_CONTENT_LIMIT) return false;
  content = static_cast<size_t>(h.frameContentSize);
  return true;
}

// The replayed bytes, then the caller's reader; the caller's writer.
struct replay {
  bz_context inner;
  const unsigned char* bytes;
  size_t size;
  size_t pos;
  uint64_t offset;  // of bytes[0] in the record
};

// A read ends where the one-thread path's read of the same size would
// have: at the next multiple of `wanted` from the record's start.
int replay_reader(bz_context* ctx, char* buf, int wanted) {
  replay& r = *reinterpret_cast<replay*>(ctx->caller_value);
  if (r.pos == r.size) return r.inner.reader(&r.inner, buf, wanted);
  if (wanted <= 0) return 0;
  const auto unit = static_cast<uint64_t>(wanted);
  size_t n = r.size - r.pos;
  const auto to_boundary = static_cast<size_t>(unit - (r.offset + r.pos) % unit);
  if (n > to_boundary) n = to_boundary;
  std::memcpy(buf, r.bytes + r.pos, n);
  r.pos += n;
  return static_cast<int>(n);
}

int replay_writer(bz_context* ctx, const char* data, int count) {
  replay& r = *reinterpret_cast<replay*>(ctx->caller_value);
  return r.inner.writer(&r.inner, data, count);
}

}  // namespace

void frame_bytes_reserve(byte_buffer& b, size_t n) {
  if (!buffer_try_reserve(b, n)) out_of_memory();
}

void frame_slot_reserve(byte_buffer& b, size_t n) {
  // From a quarter of a frame on, large pages: the ring keeps its buffers.
  if (n >= ZSTD_FRAME_CONTENT_LIMIT / 8 && buffer_try_reserve_large(b, n)) return;
  frame_bytes_reserve(b, n);
}

void frame_bytes_append(byte_buffer& b, const unsigned char* p, size_t n) {
  frame_bytes_reserve(b, b.size + n);
  if (n > 0) std::memcpy(b.data + b.size, p, n);
  b.size += n;
}

frame_found next_frame(frame_input& in) {
  frame_found found{frame_kind::other, 0, 0};
  if (!fill(in, 1)) {
    found.kind = frame_kind::end;
    return found;
  }
  fill(in, ZSTD_FRAMEHEADERSIZE_MAX);
  if (!frame_for_threads(in, found.content)) return found;
  // The frame's length, from its block headers, once all of it is here.
  for (;;) {
    const size_t size = ZSTD_findFrameCompressedSize(in.buf.data + in.pos, available(in));
    if (!ZSTD_isError(size)) {
      found.kind = frame_kind::frame;
      found.size = size;
      return found;
    }
    if (ZSTD_getErrorCode(size) != ZSTD_error_srcSize_wrong || in.ended || available(in) >= FRAME_INPUT_LIMIT)
      return found;
    const size_t want = available(in) + FRAME_READ_CHUNK;
    fill(in, want < FRAME_INPUT_LIMIT ? want : FRAME_INPUT_LIMIT);
  }
}

int unzip_rest(const bz_context& ctx, const unsigned char* replayed, size_t n, uint64_t offset, bool ahead) {
  replay r{ctx, replayed, n, 0, offset};
  const auto value = reinterpret_cast<intptr_t>(&r);
  return ahead ? decompress_ahead(zstd_unzip, value, replay_reader, replay_writer)
               : zstd_unzip(value, replay_reader, replay_writer);
}
