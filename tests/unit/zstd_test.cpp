// Zstandard: vnpack's compressor gives the same bytes whatever the number
// of jobs and however its input is cut; the installer's zstd_unzip takes
// frames in a row in any reader piece size and fails on damage, cuts and
// trailing bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "installer.h"
#include "vnpack/zstd_stream.h"

namespace {

struct StringSink : vnpack::ByteSink {
  std::string bytes;
  void write(const void* data, size_t n) override { bytes.append(static_cast<const char*>(data), n); }
};

// Text-like bytes that compress, several megabytes so that the library cuts
// them into more than one job.
std::string sample(size_t n) {
  std::string s;
  uint32_t seed = 7;
  while (s.size() < n) {
    seed = seed * 1103515245u + 12345u;
    s += "line " + std::to_string(seed >> 20) + (seed & 0x100 ? " alpha\n" : " beta gamma\n");
  }
  s.resize(n);
  return s;
}

std::string compress(const std::string& data, int level, unsigned jobs, size_t piece) {
  StringSink out;
  vnpack::ZstdCompressor z(level, jobs, out);
  for (size_t at = 0; at < data.size(); at += piece) z.write(data.data() + at, std::min(piece, data.size() - at));
  z.finish();
  return out.bytes;
}

TEST(ZstdCompressor, SameBytesWhateverTheJobsAndPieces) {
  const std::string data = sample(6 << 20);
  for (int level : {1, 3}) {
    SCOPED_TRACE(level);
    const std::string one = compress(data, level, 1, data.size());
    EXPECT_TRUE(one == compress(data, level, 2, 1000));
    EXPECT_TRUE(one == compress(data, level, 3, 65536));
    StringSink back;
    size_t pos = 0;
    auto source = [&](char* buf, size_t n) {
      n = std::min(n, one.size() - pos);
      std::copy_n(one.data() + pos, n, buf);
      pos += n;
      return n;
    };
    EXPECT_EQ(vnpack::decode_zstd(source, back).status, vnpack::ZstdDecodeResult::Status::complete);
    EXPECT_TRUE(back.bytes == data);
  }
}

struct MemoryStream {
  std::string input;
  size_t position = 0;
  size_t piece = 0;
  std::string output;
};

MemoryStream& stream_of(bz_context* ctx) { return *reinterpret_cast<MemoryStream*>(ctx->caller_value); }

int memory_reader(bz_context* ctx, char* buf, int wanted) {
  MemoryStream& m = stream_of(ctx);
  const size_t n = std::min({static_cast<size_t>(wanted), m.piece, m.input.size() - m.position});
  m.input.copy(buf, n, m.position);
  m.position += n;
  return static_cast<int>(n);
}

int memory_writer(bz_context* ctx, const char* data, int count) {
  stream_of(ctx).output.append(data, static_cast<size_t>(count));
  return 0;
}

int unzip(MemoryStream& m) { return zstd_unzip(reinterpret_cast<intptr_t>(&m), memory_reader, memory_writer); }

TEST(ZstdUnzip, FramesInARowInAnyPieceSize) {
  // The last frame ends exactly at a block boundary of the format (128 KiB).
  const std::string first = sample(1000), second = sample(4 << 17);
  const std::string frames = compress(first, 3, 1, first.size()) + compress(second, 19, 2, 7);
  for (size_t piece : {1, 4096, 1 << 20}) {
    SCOPED_TRACE(piece);
    MemoryStream m{frames, 0, piece, {}};
    EXPECT_EQ(unzip(m), 0);
    EXPECT_TRUE(m.output == first + second);
  }
}

TEST(ZstdUnzip, EmptyInputIsNoFailure) {
  MemoryStream m{"", 0, 2048, {}};
  EXPECT_EQ(unzip(m), 0);
  EXPECT_EQ(m.output, "");
}

TEST(ZstdUnzip, DamageCutsAndTrailingBytesFail) {
  const std::string data = sample(400000);
  const std::string frame = compress(data, 3, 1, data.size());
  std::string damaged = frame;
  damaged[frame.size() / 2] ^= 0x55;
  const std::string cases[] = {frame.substr(0, frame.size() / 2), frame.substr(0, frame.size() - 1), damaged,
                               frame + "trailing", "not a frame at all"};
  for (const std::string& input : cases) {
    MemoryStream m{input, 0, 2048, {}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(unzip(m), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("zstd: ", 0), 0u);
    // What came out is what the frame holds, as far as it went.
    EXPECT_TRUE(data.compare(0, std::min(m.output.size(), data.size()), m.output) == 0 || input == damaged);
  }
}

}  // namespace
