// bz2_stream.h - streaming bzip2 compression into a sink, and streaming
// decompression of one or more concatenated bzip2 streams with a verdict on
// how the input ended.
#ifndef VNPACK_BZ2_STREAM_H
#define VNPACK_BZ2_STREAM_H

#include <bzlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_io.h"

namespace vnpack {

constexpr int MIN_LEVEL = 1;
constexpr int MAX_LEVEL = 9;
constexpr int DEFAULT_LEVEL = 9;

// Compresses everything written to it as ONE bzip2 stream into `out`.
// finish() ends the stream; without it the output is incomplete.
class Bz2Compressor : public ByteSink {
 public:
  Bz2Compressor(int level, ByteSink& out);
  Bz2Compressor(const Bz2Compressor&) = delete;
  Bz2Compressor& operator=(const Bz2Compressor&) = delete;
  ~Bz2Compressor() override;

  void write(const void* data, size_t n) override;
  void finish();

 private:
  void pump(int action);

  bz_stream strm_{};
  ByteSink& out_;
  std::vector<char> buf_;
  bool finished_ = false;
};

// Hands out up to n bytes of compressed input; 0 at its end.
using ByteSource = std::function<size_t(char* buf, size_t n)>;

struct Bz2DecodeResult {
  enum class Status {
    complete,       // one or more whole streams and nothing after them
    empty,          // no input at all
    cut_short,      // the input ended inside a stream
    corrupt,        // libbz2 reported an error inside a stream
    trailing_data,  // bytes after the last stream that start no stream
  };
  Status status = Status::empty;
  int bz_error = 0;        // the libbz2 result, for corrupt
  int streams = 0;         // streams decompressed completely
  uint64_t consumed = 0;   // compressed bytes used when decoding stopped
  uint64_t stream_start = 0;  // offset of the last stream begun
  uint64_t produced = 0;   // decompressed bytes handed to the sink
};

// Decompresses every stream the source holds into `out`, in chunks.
Bz2DecodeResult decode_bz2(const ByteSource& source, ByteSink& out);

// A one-line description of a result that is not complete.
std::string describe_bz2_problem(const Bz2DecodeResult& result);

}  // namespace vnpack

#endif  // VNPACK_BZ2_STREAM_H
