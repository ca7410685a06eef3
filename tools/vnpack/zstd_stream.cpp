// zstd_stream.cpp - libzstd's streaming interface wrapped for vnpack.
#include "zstd_stream.h"

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
