// bz2_stream.cpp - libbz2's streaming interface wrapped for vnpack.
#include "bz2_stream.h"

#include <cstring>

#include "errors.h"

namespace vnpack {

// ---------------------------------------------------------------------------
// Compression
// ---------------------------------------------------------------------------

Bz2Compressor::Bz2Compressor(int level, ByteSink& out) : out_(out), buf_(IO_CHUNK) {
  // workFactor 0 selects libbz2's default; the output depends only on the
  // input and the level, which keeps installers reproducible.
  int rc = BZ2_bzCompressInit(&strm_, level, 0, 0);
  if (rc != BZ_OK) throw Failure("cannot start the bzip2 compressor (error " + std::to_string(rc) + ")");
}

Bz2Compressor::~Bz2Compressor() {
  BZ2_bzCompressEnd(&strm_);
}

void Bz2Compressor::write(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    // avail_in is an unsigned int; feed huge writes in slices.
    unsigned slice = n > IO_CHUNK ? static_cast<unsigned>(IO_CHUNK) : static_cast<unsigned>(n);
    strm_.next_in = const_cast<char*>(p);
    strm_.avail_in = slice;
    pump(BZ_RUN);
    p += slice;
    n -= slice;
  }
}

void Bz2Compressor::finish() {
  if (finished_) return;
  strm_.next_in = nullptr;
  strm_.avail_in = 0;
  pump(BZ_FINISH);
  finished_ = true;
}

// Runs the compressor until it has taken all input (BZ_RUN) or written the
// end of the stream (BZ_FINISH), passing each full output buffer on.
void Bz2Compressor::pump(int action) {
  for (;;) {
    strm_.next_out = buf_.data();
    strm_.avail_out = static_cast<unsigned>(buf_.size());
    int rc = BZ2_bzCompress(&strm_, action);
    if (rc != BZ_RUN_OK && rc != BZ_FINISH_OK && rc != BZ_STREAM_END)
      throw Failure("bzip2 compression failed (error " + std::to_string(rc) + ")");
    size_t produced = buf_.size() - strm_.avail_out;
    if (produced > 0) out_.write(buf_.data(), produced);
    if (action == BZ_RUN && strm_.avail_in == 0) return;
    if (action == BZ_FINISH && rc == BZ_STREAM_END) return;
  }
}

// ---------------------------------------------------------------------------
// Decompression
// ---------------------------------------------------------------------------

namespace {

// One bz_stream between BZ2_bzDecompressInit and BZ2_bzDecompressEnd.
class Decompressor {
 public:
  Decompressor() {
    int rc = BZ2_bzDecompressInit(&strm, 0, 0);
    if (rc != BZ_OK) throw Failure("cannot start the bzip2 decompressor (error " + std::to_string(rc) + ")");
  }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
  ~Decompressor() { BZ2_bzDecompressEnd(&strm); }

  bz_stream strm{};
};

}  // namespace

Bz2DecodeResult decode_bz2(const ByteSource& source, ByteSink& out) {
  using Status = Bz2DecodeResult::Status;
  Bz2DecodeResult result;
  std::vector<char> in(IO_CHUNK);
  std::vector<char> outbuf(IO_CHUNK);
  size_t in_pos = 0;   // unused input starts here
  size_t in_fill = 0;  // and ends here
  bool source_ended = false;

  auto refill = [&]() {
    if (source_ended) return false;
    in_fill = source(in.data(), in.size());
    in_pos = 0;
    if (in_fill == 0) source_ended = true;
    return in_fill > 0;
  };

  for (;;) {
    // Between streams: the input ends here, or a further stream begins.
    if (in_pos == in_fill && !refill()) {
      result.status = result.streams > 0 ? Status::complete : Status::empty;
      return result;
    }
    result.stream_start = result.consumed;
    Decompressor d;
    for (;;) {
      if (in_pos == in_fill) refill();
      d.strm.next_in = in.data() + in_pos;
      d.strm.avail_in = static_cast<unsigned>(in_fill - in_pos);
      d.strm.next_out = outbuf.data();
      d.strm.avail_out = static_cast<unsigned>(outbuf.size());
      int rc = BZ2_bzDecompress(&d.strm);
      size_t used = (in_fill - in_pos) - d.strm.avail_in;
      size_t produced = outbuf.size() - d.strm.avail_out;
      in_pos += used;
      result.consumed += used;
      if (produced > 0) {
        out.write(outbuf.data(), produced);
        result.produced += produced;
      }
      if (rc == BZ_STREAM_END) {
        ++result.streams;
        break;
      }
      if (rc != BZ_OK) {
        // Bytes after a complete stream that do not start another one.
        result.status = (rc == BZ_DATA_ERROR_MAGIC && result.streams > 0) ? Status::trailing_data
                                                                          : Status::corrupt;
        result.bz_error = rc;
        return result;
      }
      // No input left and none coming: a call without progress means the
      // stream ends before its end marker. (With output pending, the
      // decompressor makes progress on an empty input and is asked again.)
      if (source_ended && in_pos == in_fill && produced == 0) {
        result.status = Status::cut_short;
        return result;
      }
    }
  }
}

std::string describe_bz2_problem(const Bz2DecodeResult& result) {
  using Status = Bz2DecodeResult::Status;
  switch (result.status) {
    case Status::complete: return "complete";
    case Status::empty: return "empty, not a bzip2 stream";
    case Status::cut_short:
      return "bzip2 stream cut short after " + std::to_string(result.consumed) + " bytes";
    case Status::corrupt:
      return result.bz_error == BZ_DATA_ERROR_MAGIC && result.streams == 0
                 ? std::string("not a bzip2 stream")
                 : "corrupt bzip2 data (libbz2 error " + std::to_string(result.bz_error) + ") at byte " +
                       std::to_string(result.consumed);
    case Status::trailing_data:
      return "data that is not bzip2 after the end of the stream, at byte " +
             std::to_string(result.stream_start);
  }
  return "unknown";
}

}  // namespace vnpack
