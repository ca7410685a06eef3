// zstd records decoded frame by frame on threads against the one-thread
// decoder. The input's first byte picks one of a few records of frames (as
// vnpack writes them, but small and of varied sizes, so that they fall
// across the one-thread path's 64 KiB reads at different places, with one
// at the end that does not state its size); the next two pick where the
// damage starts, and the rest is xored over the record from there (and
// appended past its end). Both decoders read through a reader that fills
// every request, as the record reader does, and must give the same output,
// the same result and the same messages. Anything else aborts.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <zstd.h>

#include <cstring>
#include <string>
#include <vector>

#include "installer.h"

namespace {

constexpr unsigned RECORDS = 8;

std::string compress(const std::string& data, bool state_size) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(data.size()), '\0');
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  ZSTD_inBuffer i{data.data(), data.size(), 0};
  // The one-call form states the size in the frame header; streaming
  // without a pledged size does not.
  if (state_size) ZSTD_CCtx_setPledgedSrcSize(cctx, data.size());
  while (ZSTD_compressStream2(cctx, &o, &i, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(cctx);
  out.resize(o.pos);
  return out;
}

// Frames of text mixed with bytes that hardly compress: tens of KB each,
// some whole within one 64 KiB read and some across two, and an empty one.
std::string make_record(unsigned variant) {
  std::string record;
  uint32_t x = 2463534242u + variant;
  for (unsigned f = 0; f < 9; ++f) {
    std::string data;
    const size_t size = f == 3 ? 0 : 5000 + (f * 7 + variant * 13) % 23 * 3000;
    while (data.size() < size) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      data += (x & 3) != 0 ? static_cast<char>(x >> 24) : ' ';
    }
    record += compress(data, f != 8);
  }
  return record;
}

struct stream {
  const std::string* input;
  size_t at;
  std::string output;
};

int read_piece(bz_context* ctx, char* buf, int wanted) {
  auto& s = *reinterpret_cast<stream*>(ctx->caller_value);
  size_t n = s.input->size() - s.at;
  if (n > static_cast<size_t>(wanted)) n = static_cast<size_t>(wanted);
  std::memcpy(buf, s.input->data() + s.at, n);
  s.at += n;
  return static_cast<int>(n);
}

int write_piece(bz_context* ctx, const char* data, int count) {
  reinterpret_cast<stream*>(ctx->caller_value)->output.append(data, static_cast<size_t>(count));
  return count;
}

struct outcome {
  int result;
  std::string output, messages;
  bool operator==(const outcome&) const = default;
};

// Standard error goes to a scratch file while the decoder runs.
outcome run(int (*unzip)(intptr_t, bz_reader, bz_writer), const std::string& input) {
  static FILE* messages = std::tmpfile();
  static const int saved = dup(2);
  if (messages == nullptr || saved < 0 || ftruncate(fileno(messages), 0) != 0) abort();
  fflush(stderr);
  dup2(fileno(messages), 2);
  stream s{&input, 0, {}};
  const int result = unzip(reinterpret_cast<intptr_t>(&s), read_piece, write_piece);
  fflush(stderr);
  dup2(saved, 2);
  std::string text(static_cast<size_t>(lseek(fileno(messages), 0, SEEK_END)), '\0');
  if (pread(fileno(messages), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) abort();
  lseek(fileno(messages), 0, SEEK_SET);
  return {result, s.output, text};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("VNINSTALL_THREADS", "3", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<std::string> records(RECORDS);
  if (size < 3) return 0;
  std::string& record = records[data[0] % RECORDS];
  if (record.empty()) record = make_record(data[0] % RECORDS);
  std::string input = record;
  const size_t from = (size_t{data[1]} << 8 | data[2]) * input.size() >> 16;
  for (size_t i = 3; i < size; ++i) {
    const size_t at = from + i - 3;
    if (at < input.size()) input[at] ^= static_cast<char>(data[i]);
    else input += static_cast<char>(data[i]);
  }
  if (!(run(zstd_unzip, input) == run(zstd_unzip_frames, input))) abort();
  return 0;
}
