// Zstandard: vnpack's compressor gives the same frames whatever the number
// of jobs and however its input is cut; the installer's zstd_unzip takes
// frames in a row in any reader piece size and fails on damage, cuts and
// trailing bytes, and zstd_unzip_frames does on threads exactly what it does.
#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_findFrameCompressedSize
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "installer.h"
#include "test_support.h"
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
    // Independent frames of a fixed content, each stating its size.
    size_t frames = 0;
    for (size_t at = 0; at < one.size(); ++frames) {
      const size_t content = ZSTD_getFrameContentSize(one.data() + at, one.size() - at);
      EXPECT_EQ(content, std::min(vnpack::ZSTD_FRAME_CONTENT, data.size() - frames * vnpack::ZSTD_FRAME_CONTENT));
      at += ZSTD_findFrameCompressedSize(one.data() + at, one.size() - at);
    }
    EXPECT_EQ(frames, 6u);
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
  // A frame of the format before 1.0 (here a frame whose magic says so, as
  // damage may) is refused before the library's old decoders see it.
  std::string legacy = frame;
  legacy[0] = 0x27;
  MemoryStream m{frame + legacy, 0, 2048, {}};
  testing::internal::CaptureStderr();
  EXPECT_EQ(unzip(m), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "zstd: Unknown frame descriptor\n");
  EXPECT_TRUE(m.output == data);
}

struct Outcome {
  int result;
  std::string output, messages;
};

// The reader fills every request, as the record reader does.
Outcome run(int (*unzip)(intptr_t, bz_reader, bz_writer), const std::string& input) {
  MemoryStream m{input, 0, input.size(), {}};
  testing::internal::CaptureStderr();
  const int result = unzip(reinterpret_cast<intptr_t>(&m), memory_reader, memory_writer);
  return {result, m.output, testing::internal::GetCapturedStderr()};
}

// One frame of data with a checksum; without `state_size` it does not
// state its size (as a stream of unknown length), and the threads leave it,
// and what follows it, to the one-thread path.
std::string zstd_frame(const std::string& data, bool state_size = true) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  if (state_size) ZSTD_CCtx_setPledgedSrcSize(cctx, data.size());
  std::string out(ZSTD_compressBound(data.size()), '\0');
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  ZSTD_inBuffer i{data.data(), data.size(), 0};
  while (ZSTD_compressStream2(cctx, &o, &i, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(cctx);
  out.resize(o.pos);
  return out;
}

// Frames with checksums, the second of them damaged in its checksum, which
// the first 64 KiB boundary cuts: on one thread the library gives the
// frame's content out and then fails; handed the frame whole in one read it
// fails at once and gives nothing. The first frame holds bytes that do not
// compress, so its size is its content's plus a fixed overhead.
std::string small_frames_one_damaged() {
  std::string damaged = zstd_frame(sample(3000));
  damaged.back() ^= 0x40;
  const size_t overhead = zstd_frame(vntest::noise(60000, 1)).size() - 60000;
  const std::string first = zstd_frame(vntest::noise(65536 + 1 - damaged.size() - overhead, 1));
  EXPECT_EQ(first.size() + damaged.size(), 65536u + 1);
  return first + damaged + zstd_frame(sample(90000)) + zstd_frame(sample(50000));
}

TEST(ZstdUnzipFrames, DoesWhatOneThreadDoes) {
  const std::string data = sample(5 << 20);
  const std::string frames = compress(data, 1, 2, data.size());
  const size_t second = ZSTD_findFrameCompressedSize(frames.data(), frames.size());
  const size_t third = second + ZSTD_findFrameCompressedSize(frames.data() + second, frames.size() - second);
  std::string damaged = frames;
  damaged[third + 1000] ^= 0x21;  // inside the third frame
  const std::string unsized = zstd_frame(sample(300000), false);
  // Frames that hardly compress are larger than a read of the input.
  const std::string noisy = compress(vntest::noise(4 << 20, 3), 1, 2, 1 << 20);
  std::string noisy_damaged = noisy;
  noisy_damaged[noisy.size() / 2] ^= 0x21;
  const std::string cases[] = {
      frames,
      damaged,
      frames.substr(0, third + 5000),                           // cut inside a frame
      frames + "trailing",
      frames.substr(0, second) + unsized + frames.substr(second),  // a frame the threads leave
      unsized + frames,                                            // left from the first frame on
      "",
      small_frames_one_damaged(),
      frames.substr(0, second) + noisy + frames.substr(second),
      noisy_damaged + frames,
  };
  setenv("VNINSTALL_THREADS", "3", 1);
  for (size_t c = 0; c < std::size(cases); ++c) {
    SCOPED_TRACE(testing::Message() << "case " << c);
    const Outcome one = run(zstd_unzip, cases[c]);
    const Outcome threads = run(zstd_unzip_frames, cases[c]);
    EXPECT_EQ(threads.result, one.result);
    EXPECT_TRUE(threads.output == one.output);
    EXPECT_EQ(threads.messages, one.messages);
    EXPECT_EQ(one.result != 0, c == 1 || c == 2 || c == 3 || c == 7 || c == 9);
  }
  unsetenv("VNINSTALL_THREADS");
}

}  // namespace
