// bzunzip: streaming bzip2 decompression between a reader and a writer
// callback. Several streams in a row (as parallel compressors write them, or
// concatenated files) are decompressed into the same writer. This is the
// one-thread path; bzunzip_blocks.cpp spreads the blocks over threads and
// falls back to it.
#include <bzlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "bz2_blocks.h"
#include "decompress_ahead.h"
#include "installer.h"

namespace {

constexpr int COMPRESSED_CHUNK = 2048;
constexpr int DECOMPRESSED_CHUNK = 4096;
constexpr int STREAM_MAGIC_LENGTH = 4;  // "BZh" and the block-size digit

struct unzip_state {
  bz_context ctx;
  bz_stream strm;
  bz2_work_space space{};  // kept from one stream to the next
  char in[COMPRESSED_CHUNK];
  char out[DECOMPRESSED_CHUNK];
  bool got_input = false;   // the reader handed out at least one byte
  bool input_ended = false; // the reader returned 0
  const unsigned char* taken = nullptr;  // input read before the call
  size_t taken_left = 0;
};

void start_stream(bz_stream* strm, bz2_work_space& space) {
  std::memset(strm, 0, sizeof *strm);
  strm->bzalloc = bz2_work_space_alloc;
  strm->bzfree = bz2_work_space_free;
  strm->opaque = &space;
  const int ret = BZ2_bzDecompressInit(strm, 0, 0);
  if (ret != BZ_OK) {
    report_bz2_fatal("bzDecompressInit", ret);
  }
}

// Appends reader output behind the have bytes already in the compressed
// buffer; returns the new count.
unsigned pull_input(unzip_state& s, unsigned have) {
  if (s.input_ended || have >= COMPRESSED_CHUNK) return have;
  if (s.taken_left > 0) {
    const size_t n = std::min(s.taken_left, static_cast<size_t>(COMPRESSED_CHUNK - have));
    std::memcpy(s.in + have, s.taken, n);
    s.taken += n;
    s.taken_left -= n;
    s.got_input = true;
    return have + static_cast<unsigned>(n);
  }
  const int n = s.ctx.reader(&s.ctx, s.in + have, static_cast<int>(COMPRESSED_CHUNK - have));
  if (n <= 0) {
    s.input_ended = true;
    return have;
  }
  s.got_input = true;
  return have + static_cast<unsigned>(n);
}

bool is_stream_magic(const char* p) {
  return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
}

// After an end-of-stream marker: when the input that follows it begins
// another stream, restart the decompressor on it and return true. Other
// trailing bytes are not data and are left unused.
bool begin_next_stream(unzip_state& s) {
  unsigned have = s.strm.avail_in;
  std::memmove(s.in, s.strm.next_in, have);
  while (have < STREAM_MAGIC_LENGTH && !s.input_ended) have = pull_input(s, have);
  if (have < STREAM_MAGIC_LENGTH || !is_stream_magic(s.in)) return false;
  BZ2_bzDecompressEnd(&s.strm);
  start_stream(&s.strm, s.space);
  s.strm.next_in = s.in;
  s.strm.avail_in = have;
  return true;
}

enum class step { go_on, finished, failed };

// One decompressor call and the write of what it produced.
step decompress_once(unzip_state& s) {
  const unsigned in_before = s.strm.avail_in;
  s.strm.next_out = s.out;
  s.strm.avail_out = DECOMPRESSED_CHUNK;
  const int ret = BZ2_bzDecompress(&s.strm);
  const int produced = DECOMPRESSED_CHUNK - static_cast<int>(s.strm.avail_out);
  // Once the input has ended the decompressor is only called to drain what
  // it still holds; a call that produced nothing is not repeated.
  if (produced > 0 || !s.input_ended) s.ctx.writer(&s.ctx, s.out, produced);
  if (ret == BZ_STREAM_END) return begin_next_stream(s) ? step::go_on : step::finished;
  if (ret != BZ_OK) {
    report_bz2_failure("bzDecompress", ret);
    return step::failed;
  }
  // Neither input taken nor output made: the input has ended before the
  // end-of-stream marker, so the stream was cut short.
  if (produced == 0 && s.strm.avail_in == in_before) return step::failed;
  return step::go_on;
}

}  // namespace

namespace {
constexpr size_t BZ2_MESSAGE_SIZE = 64;
}

void report_bz2_failure(const char* call, int ret) {
  char line[BZ2_MESSAGE_SIZE];
  std::snprintf(line, sizeof line, "%s: failed, ret=%d\n", call, ret);
  report_unzip_message(line);
}

void report_bz2_fatal(const char* call, int ret) {
  char line[BZ2_MESSAGE_SIZE];
  std::snprintf(line, sizeof line, "%s: failed, ret=%d\n", call, ret);
  report_unzip_fatal(line);
}

int bzunzip_sequential(const bz_context& ctx, const unsigned char* taken, size_t taken_count) {
  unzip_state s;
  s.ctx = ctx;
  s.taken = taken;
  s.taken_left = taken_count;
  start_stream(&s.strm, s.space);
  step result = step::go_on;
  while (result == step::go_on) {
    if (s.strm.avail_in == 0 && !s.input_ended) {
      s.strm.next_in = s.in;
      s.strm.avail_in = pull_input(s, 0);
      if (s.input_ended && !s.got_input) {  // an empty body holds no stream
        result = step::finished;
        break;
      }
    }
    result = decompress_once(s);
  }
  BZ2_bzDecompressEnd(&s.strm);
  bz2_work_space_release(s.space);
  return result == step::finished ? 0 : 1;
}
