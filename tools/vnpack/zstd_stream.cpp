// zstd_stream.cpp - libzstd's streaming interface wrapped for vnpack.
#include "zstd_stream.h"

#include <memory>

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

ZstdCompressor::ZstdCompressor(int level, unsigned jobs, ByteSink& out)
    : cctx_(ZSTD_createCCtx()), out_(out), buf_(ZSTD_CStreamOutSize()) {
  if (cctx_ == nullptr) throw Failure("cannot start the zstd compressor: out of memory");
  try {
    check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level), "zstd compression level");
    check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_enableLongDistanceMatching, 0), "zstd long-distance matching");
    check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1), "zstd checksum");
    // Without worker support in the library this fails: better no
    // installer than one whose bytes depend on the machine.
    check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_nbWorkers, static_cast<int>(jobs > 0 ? jobs : 1)),
          "zstd worker threads");
  } catch (...) {
    ZSTD_freeCCtx(cctx_);
    throw;
  }
}

ZstdCompressor::~ZstdCompressor() { ZSTD_freeCCtx(cctx_); }

void ZstdCompressor::write(const void* data, size_t n) {
  ZSTD_inBuffer in = {data, n, 0};
  pump(in, ZSTD_e_continue);
}

void ZstdCompressor::finish() {
  if (finished_) return;
  ZSTD_inBuffer in = {nullptr, 0, 0};
  pump(in, ZSTD_e_end);
  finished_ = true;
}

void ZstdCompressor::pump(ZSTD_inBuffer& in, ZSTD_EndDirective directive) {
  for (;;) {
    ZSTD_outBuffer out = {buf_.data(), buf_.size(), 0};
    const size_t left = ZSTD_compressStream2(cctx_, &out, &in, directive);
    check(left, "zstd compression failed");
    if (out.pos > 0) out_.write(buf_.data(), out.pos);
    if (directive == ZSTD_e_end ? left == 0 : in.pos == in.size) return;
  }
}

// ---------------------------------------------------------------------------
// Decompression
// ---------------------------------------------------------------------------

ZstdDecodeResult decode_zstd(const ByteSource& source, ByteSink& out) {
  using Status = ZstdDecodeResult::Status;
  ZstdDecodeResult result;
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!dctx) throw Failure("cannot start the zstd decompressor: out of memory");
  std::vector<char> inbuf(ZSTD_DStreamInSize());
  std::vector<char> outbuf(ZSTD_DStreamOutSize());
  ZSTD_inBuffer in = {inbuf.data(), 0, 0};
  bool frame_open = false;
  bool output_pending = false;  // the last call filled the output buffer
  for (;;) {
    if (in.pos == in.size && !output_pending) {
      const size_t n = source(inbuf.data(), inbuf.size());
      if (n == 0) break;
      in = {inbuf.data(), n, 0};
    }
    const size_t in_before = in.pos;
    ZSTD_outBuffer o = {outbuf.data(), outbuf.size(), 0};
    const size_t ret = ZSTD_decompressStream(dctx.get(), &o, &in);
    result.consumed += in.pos - in_before;
    if (o.pos > 0) {
      out.write(outbuf.data(), o.pos);
      result.produced += o.pos;
    }
    if (ZSTD_isError(ret)) {
      result.status = Status::corrupt;
      result.error = ZSTD_getErrorName(ret);
      return result;
    }
    // A result of 0 means the frame is complete and all of it written out.
    frame_open = ret != 0;
    output_pending = frame_open && o.pos == o.size;
    if (!frame_open) result.status = Status::complete;
  }
  if (frame_open) result.status = Status::cut_short;
  return result;
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
