// zstd_stream.cpp - libzstd's streaming interface wrapped for vnpack.
#include "zstd_stream.h"

#include <algorithm>
#include <utility>

#include "errors.h"

namespace vnpack {

namespace {

void check(size_t ret, const char* what) {
  if (ZSTD_isError(ret)) throw Failure(std::string(what) + ": " + ZSTD_getErrorName(ret));
}

}  // namespace

// ---------------------------------------------------------------------------
// Compression
// ---------------------------------------------------------------------------

namespace {

// A thread's compression context, kept from one frame to the next.
struct ThreadContext {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ThreadContext() = default;
  ThreadContext(const ThreadContext&) = delete;
  ThreadContext& operator=(const ThreadContext&) = delete;
  ~ThreadContext() { ZSTD_freeCCtx(cctx); }
};

std::string compress_frame(const std::string& input, int level) {
  thread_local ThreadContext context;
  ZSTD_CCtx* cctx = context.cctx;
  if (cctx == nullptr) throw Failure("cannot start the zstd compressor: out of memory");
  // The settings are made again for every frame: a frame then depends on
  // its input and the level only, not on what the thread did before.
  check(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters), "zstd compressor reset");
  check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level), "zstd compression level");
  check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "zstd checksum");
  std::string frame(ZSTD_compressBound(input.size()), '\0');
  const size_t n = ZSTD_compress2(cctx, frame.data(), frame.size(), input.data(), input.size());
  check(n, "zstd compression failed");
  frame.resize(n);
  return frame;
}

}  // namespace

ZstdCompressor::ZstdCompressor(int level, unsigned jobs, ByteSink& out)
    : out_(out),
      frames_(
          jobs, [level](const std::string& input) { return compress_frame(input, level); },
          [this](std::string& frame) { out_.write(frame.data(), frame.size()); }) {
  current_.reserve(ZSTD_FRAME_CONTENT);
}

void ZstdCompressor::write(const void* data, size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const size_t take = std::min(n, ZSTD_FRAME_CONTENT - current_.size());
    current_.append(p, take);
    p += take;
    n -= take;
    if (current_.size() == ZSTD_FRAME_CONTENT) {
      frames_.submit(current_);
      current_.reserve(ZSTD_FRAME_CONTENT);
      started_ = true;
    }
  }
}

void ZstdCompressor::finish() {
  if (finished_) return;
  // No input at all still makes one (empty) frame, as a stream must hold one.
  if (!current_.empty() || !started_) frames_.submit(current_);
  frames_.finish();
  finished_ = true;
}

// ---------------------------------------------------------------------------
// Decompression
// ---------------------------------------------------------------------------

ZstdReader::ZstdReader(ByteSource source)
    : source_(std::move(source)), dctx_(ZSTD_createDCtx()), inbuf_(ZSTD_DStreamInSize()), in_{inbuf_.data(), 0, 0} {
  if (dctx_ == nullptr) throw Failure("cannot start the zstd decompressor: out of memory");
}

ZstdReader::~ZstdReader() { ZSTD_freeDCtx(dctx_); }

size_t ZstdReader::read(char* buf, size_t n) {
  using Status = ZstdDecodeResult::Status;
  ZSTD_outBuffer out = {buf, n, 0};
  while (!done_ && n > 0 && out.pos == 0) {
    if (in_.pos == in_.size && !output_pending_) {
      const size_t got = source_(inbuf_.data(), inbuf_.size());
      if (got == 0) {
        if (frame_open_) end(Status::cut_short);
        done_ = true;
        break;
      }
      in_ = {inbuf_.data(), got, 0};
    }
    const size_t in_before = in_.pos;
    const size_t ret = ZSTD_decompressStream(dctx_, &out, &in_);
    result_.consumed += in_.pos - in_before;
    if (ZSTD_isError(ret)) {
      result_.error = ZSTD_getErrorName(ret);
      end(Status::corrupt);
      break;
    }
    // A result of 0 means the frame is complete and all of it written out.
    frame_open_ = ret != 0;
    output_pending_ = frame_open_ && out.pos == out.size;
    if (!frame_open_) result_.status = Status::complete;
  }
  result_.produced += out.pos;
  return out.pos;
}

ZstdDecodeResult decode_zstd(const ByteSource& source, ByteSink& out) {
  ZstdReader reader(source);
  std::vector<char> buf(ZSTD_DStreamOutSize());
  while (const size_t got = reader.read(buf.data(), buf.size())) out.write(buf.data(), got);
  return reader.result();
}

std::string describe_zstd_problem(const ZstdDecodeResult& result) {
  using Status = ZstdDecodeResult::Status;
  switch (result.status) {
    case Status::complete: return "complete";
    case Status::empty: return "empty, not a zstd frame";
    case Status::cut_short: return "zstd frame cut short after " + std::to_string(result.consumed) + " bytes";
    case Status::corrupt:
      return "corrupt zstd data (" + result.error + ") at byte " + std::to_string(result.consumed);
  }
  return "unknown";
}

}  // namespace vnpack
