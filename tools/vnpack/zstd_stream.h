// zstd_stream.h - Zstandard compression on every core into a sink, and
// streaming decompression of a row of frames with a verdict on how the
// input ended.
#ifndef VNPACK_ZSTD_STREAM_H
#define VNPACK_ZSTD_STREAM_H

#include <zstd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bz2_stream.h"
#include "file_io.h"
#include "ordered_pieces.h"

namespace vnpack {

constexpr int ZSTD_MIN_LEVEL = 1;
// Up to this level the window stays at 8 MB or less, which keeps the
// installer's memory small.
constexpr int ZSTD_MAX_LEVEL = 19;
constexpr int ZSTD_DEFAULT_LEVEL = 19;

// Input bytes per frame. Each frame is independent, so that an installer
// can decompress several at once; and a decompressor's window is no larger
// than its frame, which keeps the installer's memory small at any level.
// Against one frame over everything, that costs 1 to 3 % of the size on
// source text at level 19 (the format's own window there is 8 MB).
constexpr size_t ZSTD_FRAME_CONTENT = 1 << 20;

// Compresses everything written to it into `out` as a row of frames, each
// of ZSTD_FRAME_CONTENT bytes of input (the last of what is left) with its
// size and a checksum. The frames are compressed on `jobs` threads; where a
// frame ends depends on the input only, so the bytes are the same for any
// number of jobs.
class ZstdCompressor : public ByteSink {
 public:
  ZstdCompressor(int level, unsigned jobs, ByteSink& out);
  ZstdCompressor(const ZstdCompressor&) = delete;
  ZstdCompressor& operator=(const ZstdCompressor&) = delete;
  ~ZstdCompressor() override = default;

  void write(const void* data, size_t n) override;
  void finish();

 private:
  ByteSink& out_;
  std::string current_;  // the frame's input being collected
  bool started_ = false;  // a frame was written: no input is no frames
  bool finished_ = false;
  OrderedPieces<std::string> frames_;  // last: its threads stop first
};

struct ZstdDecodeResult {
  enum class Status {
    complete,   // one or more whole frames and nothing after them
    empty,      // no input at all
    cut_short,  // the input ended inside a frame
    corrupt,    // the library reported an error (damage, or not a frame)
  };
  Status status = Status::empty;
  std::string error;      // the library's error name, for corrupt
  uint64_t consumed = 0;  // compressed bytes used when decoding stopped
  uint64_t produced = 0;  // decompressed bytes handed to the sink
};

// Decompresses the frames the source holds as they are asked for.
class ZstdReader {
 public:
  explicit ZstdReader(ByteSource source);
  ZstdReader(const ZstdReader&) = delete;
  ZstdReader& operator=(const ZstdReader&) = delete;
  ~ZstdReader();

  // Up to n decompressed bytes; 0 once the input has ended or is damaged,
  // which result() then tells.
  size_t read(char* buf, size_t n);
  const ZstdDecodeResult& result() const { return result_; }

 private:
  void end(ZstdDecodeResult::Status status) {
    result_.status = status;
    done_ = true;
  }

  ByteSource source_;
  ZSTD_DCtx* dctx_;
  std::vector<char> inbuf_;
  ZSTD_inBuffer in_;
  bool frame_open_ = false;
  bool output_pending_ = false;  // the last call filled the output buffer
  bool done_ = false;
  ZstdDecodeResult result_;
};

// Decompresses every frame the source holds into `out`, in chunks.
ZstdDecodeResult decode_zstd(const ByteSource& source, ByteSink& out);

// A one-line description of a result that is not complete.
std::string describe_zstd_problem(const ZstdDecodeResult& result);

}  // namespace vnpack

#endif  // VNPACK_ZSTD_STREAM_H
