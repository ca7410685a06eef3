// zstd_unzip: streaming decompression of Zstandard frames between a reader
// and a writer callback, with bzunzip's contract. Frames in a row are
// decompressed into the same writer (the library passes over skippable
// frames itself); anything else in the input, a damaged frame or one the
// input ends inside is reported as "zstd: <the library's error name>".
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_createDCtx_advanced
#include <zstd.h>
#include <zstd_errors.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "decompress_ahead.h"
#include "installer.h"
#include "kept_memory.h"

// Installer programs that read zstd archive records carry this text, so that
// a package builder can tell them from older ones before it writes such a
// record behind them.
extern const char zstd_support_marker[] = ZSTD_SUPPORT_MARKER_HEAD ZSTD_SUPPORT_MARKER_TAIL;

namespace {

// Compressed bytes asked of the reader at once, and the decompressed chunk:
// one whole block of the format, so a block is written in one piece.
constexpr int ZSTD_COMPRESSED_CHUNK = 64 * 1024;
constexpr size_t ZSTD_DECOMPRESSED_CHUNK = ZSTD_BLOCKSIZE_MAX;

// Static rather than on the stack: together they are 192 KB.
char compressed[ZSTD_COMPRESSED_CHUNK];
char decompressed[ZSTD_DECOMPRESSED_CHUNK];

constexpr size_t ZSTD_MESSAGE_SIZE = 256;

int report(ZSTD_ErrorCode code) {
  // Behind the entries unpacked before the damage.
  char line[ZSTD_MESSAGE_SIZE];
  std::snprintf(line, sizeof line, "zstd: %s\n", ZSTD_getErrorString(code));
  report_unzip_message(line);
  return 1;
}

// The frames of the format's versions before 1.0 (magic numbers 0xFD2FB521
// to 0xFD2FB527, as the library still decodes some of them). No package
// builder writes them, and their decoders take damaged input far less
// carefully: they are refused with the error of a library without them.
constexpr uint32_t LEGACY_MAGIC_FIRST = 0xFD2FB521, LEGACY_MAGIC_LAST = 0xFD2FB527;
constexpr size_t MAGIC_BYTES = 4;

bool legacy_frame_at(const ZSTD_inBuffer& in) {
  if (in.size - in.pos < MAGIC_BYTES) return false;  // the library then refuses it itself
  const auto* p = static_cast<const unsigned char*>(in.src) + in.pos;
  const uint32_t magic = p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  return magic >= LEGACY_MAGIC_FIRST && magic <= LEGACY_MAGIC_LAST;
}

// Every frame is decoded by a context of its own, so that what the library
// makes of a frame (how much of a damaged one it gives out, which error it
// names) depends on that frame and where its input was cut alone, not on
// the frames before it, whose sizes shape a reused context's buffers. The
// threaded path decodes again from any frame on and must get the same.
// The memory of one frame's context is kept for the next one's, so that a
// frame costs no fresh pages.
void* kept_zstd_alloc(void* opaque, size_t size) { return kept_alloc(*static_cast<kept_memory*>(opaque), size); }
void kept_zstd_free(void* opaque, void* address) { kept_free(*static_cast<kept_memory*>(opaque), address); }

// Runs the frames of the input through the writer, each frame with a new
// context in dctx; 0 when every frame was complete and sound.
int decompress_frames_with(bz_context* ctx, const ZSTD_customMem& memory, ZSTD_DCtx*& dctx) {
  ZSTD_inBuffer in = {compressed, 0, 0};
  bool frame_open = false;     // the last call ended inside a frame
  bool output_pending = false; // the last call filled the output chunk
  for (;;) {
    if (in.pos == in.size && !output_pending) {
      const int n = ctx->reader(ctx, compressed, ZSTD_COMPRESSED_CHUNK);
      if (n <= 0) break;
      in = {compressed, static_cast<size_t>(n), 0};
    }
    const size_t in_before = in.pos;
    if (!frame_open) {  // a frame starts here
      if (legacy_frame_at(in)) return report(ZSTD_error_prefix_unknown);
      ZSTD_freeDCtx(dctx);
      dctx = ZSTD_createDCtx_advanced(memory);
      if (dctx == nullptr) return report(ZSTD_error_memory_allocation);
    }
    // Running ahead of the writer, the output goes straight where the
    // writer takes it.
    char* room = unzip_output_room(ZSTD_DECOMPRESSED_CHUNK);
    ZSTD_outBuffer out = {room != nullptr ? room : decompressed, ZSTD_DECOMPRESSED_CHUNK, 0};
    const size_t ret = ZSTD_decompressStream(dctx, &out, &in);
    // What was decompressed before any damage is kept, as with bzip2.
    if (room != nullptr) unzip_output_commit(out.pos);
    else if (out.pos > 0) ctx->writer(ctx, decompressed, static_cast<int>(out.pos));
    if (ZSTD_isError(ret)) return report(ZSTD_getErrorCode(ret));
    // The library always takes input or gives output while it has room
    // for both; a call that does neither would repeat without end.
    if (out.pos == 0 && in.pos == in_before && in.pos < in.size) return report(ZSTD_error_GENERIC);
    // A result of 0 means the frame is complete and all of it written out.
    frame_open = ret != 0;
    output_pending = frame_open && out.pos == out.size;
  }
  // The input ended inside a frame: the record or the frame was cut short.
  return frame_open ? report(ZSTD_error_srcSize_wrong) : 0;
}

// Runs the frames of the input through the writer; 0 when every frame was
// complete and sound.
int decompress_frames(bz_context* ctx) {
  kept_memory kept{};
  const ZSTD_customMem memory{kept_zstd_alloc, kept_zstd_free, &kept};
  ZSTD_DCtx* dctx = nullptr;
  const int result = decompress_frames_with(ctx, memory, dctx);
  ZSTD_freeDCtx(dctx);
  kept_release(kept);
  return result;
}

}  // namespace

int zstd_unzip(intptr_t caller_value, bz_reader reader, bz_writer writer) {
  // Keeps the marker in the program when unused sections are dropped.
  __asm__ volatile("" : : "r"(zstd_support_marker));
  bz_context ctx = {caller_value, reader, writer};
  return decompress_frames(&ctx);
}
