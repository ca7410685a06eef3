// bzunzip on several threads against the sequential path: the same output,
// messages and result for streams from several compressors, damaged and
// cut-short streams, markers inside compressed data and threads that
// cannot be started.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive.h"
#include "bz2_blocks.h"
#include "installer.h"
#include "test_support.h"
#include "vnpack/bz2_parallel.h"

namespace {

struct run_result {
  std::string output;
  std::string messages;
  int status;
};

struct memory_io {
  const std::string* input;
  size_t position = 0;
  std::string output;
};

int reader(bz_context* ctx, char* buf, int wanted) {
  auto& io = *reinterpret_cast<memory_io*>(ctx->caller_value);
  const size_t n = std::min(static_cast<size_t>(wanted), io.input->size() - io.position);
  io.input->copy(buf, n, io.position);
  io.position += n;
  return static_cast<int>(n);
}

int writer(bz_context* ctx, const char* data, int count) {
  reinterpret_cast<memory_io*>(ctx->caller_value)->output.append(data, static_cast<size_t>(count));
  return 0;
}

run_result unzip(const std::string& input, const char* threads) {
  setenv("VNINSTALL_THREADS", threads, 1);
  memory_io io{&input, 0, {}};
  testing::internal::CaptureStderr();
  const int status = bzunzip(reinterpret_cast<intptr_t>(&io), reader, writer);
  run_result r{io.output, testing::internal::GetCapturedStderr(), status};
  unsetenv("VNINSTALL_THREADS");
  return r;
}

// Every thread count gives what the sequential path gives.
void expect_as_sequential(const std::string& input) {
  const run_result one = unzip(input, "1");
  for (const char* threads : {"2", "4"}) {
    SCOPED_TRACE(threads);
    const run_result many = unzip(input, threads);
    EXPECT_TRUE(many.output == one.output) << many.output.size() << " bytes, sequential " << one.output.size();
    EXPECT_EQ(many.messages, one.messages);
    EXPECT_EQ(many.status, one.status);
  }
}

// Mixed data: text, noise and long runs, so that blocks differ in size.
std::string mixed(size_t n) { return vntest::text(n / 2) + vntest::noise(n / 4, 7) + std::string(n / 4, 'z'); }

class StringSink : public vnpack::ByteSink {
 public:
  void write(const void* data, size_t n) override { bytes.append(static_cast<const char*>(data), n); }
  std::string bytes;
};

std::string vnpack_compress(const std::string& data, int level, unsigned jobs) {
  StringSink out;
  vnpack::ParallelBz2Compressor bz(level, jobs, out);
  for (size_t at = 0; at < data.size(); at += 100000) bz.write(data.data() + at, std::min<size_t>(100000, data.size() - at));
  bz.finish();
  return out.bytes;
}

TEST(BzunzipBlocks, WholeStreamsAsSequential) {
  const std::string data = mixed(1200000);
  expect_as_sequential(vntest::bz2_compress(data, 1));
  expect_as_sequential(vntest::bz2_compress(data, 9));
  expect_as_sequential(vnpack_compress(data, 2, 2));
  // Several streams in a row, one empty, at different levels, then bytes
  // that start no stream.
  expect_as_sequential(vntest::bz2_compress(data.substr(0, 300000), 1) + vntest::bz2_compress("", 9) +
                       vntest::bz2_compress(data.substr(300000), 3) + "BZh0 not a stream");
  EXPECT_TRUE(unzip(vntest::bz2_compress(data, 1), "2").output == data);
}

TEST(BzunzipBlocks, DamagedAndCutShortStreamsAsSequential) {
  const std::string packed = vntest::bz2_compress(mixed(700000), 1);
  const size_t n = packed.size();
  for (size_t at : {size_t{5}, size_t{12}, size_t{60}, n / 3, n / 2, n - 14, n - 11, n - 6, n - 1}) {
    SCOPED_TRACE(at);
    std::string damaged = packed;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x55);
    expect_as_sequential(damaged);
    expect_as_sequential(packed.substr(0, at));  // inside a block, the end marker or the CRC
  }
  expect_as_sequential("not compressed at all");
  expect_as_sequential("BZh");
  expect_as_sequential("");
}

// A marker pattern inside compressed data cuts a block in two: the first
// part cannot finish, the second is garbage. Neither changes the output.
TEST(BzunzipBlocks, MarkerInsideCompressedDataIsJoinedBack) {
  const std::string data = mixed(900000);
  const std::string packed = vntest::bz2_compress(data, 1);
  const uint64_t bits = packed.size() * 8;
  const uint64_t false_markers[] = {bits / 5, bits / 5 + 4000, bits / 2 + 3, bits - 300};
  bzunzip_false_markers = false_markers;
  bzunzip_false_marker_count = 4;
  const run_result r = unzip(packed, "2");
  EXPECT_TRUE(r.output == data);
  EXPECT_EQ(r.messages, "");
  EXPECT_EQ(r.status, 0);
  bzunzip_false_marker_count = 0;
}

TEST(BzunzipBlocks, ThreadsThatCannotStartLeaveTheWorkToTheCallingThread) {
  const std::string data = mixed(600000);
  bzunzip_refuse_threads = true;
  const run_result r = unzip(vntest::bz2_compress(data, 1), "2");
  bzunzip_refuse_threads = false;
  EXPECT_TRUE(r.output == data);
  EXPECT_EQ(r.status, 0);
}

// Both markers at every bit offset, next to each other and at the ends of
// the range, among bytes that hold parts of them: the scan finds exactly
// what a bit-by-bit search finds.
TEST(Bz2Markers, ScanFindsWhatABitByBitSearchFinds) {
  std::string bytes(4096, '\0');
  uint32_t seed = 7;
  for (auto& c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  const auto* p = reinterpret_cast<unsigned char*>(bytes.data());
  auto plant = [&](uint64_t bit, uint64_t value) {
    for (int i = 0; i < BZ2_MARKER_BITS; ++i) {
      const uint64_t b = bit + static_cast<uint64_t>(i);
      const auto mask = static_cast<unsigned char>(0x80 >> (b % 8));
      auto& byte = reinterpret_cast<unsigned char&>(bytes[b / 8]);
      byte = (value >> (BZ2_MARKER_BITS - 1 - i)) & 1 ? byte | mask : byte & ~mask;
    }
  };
  // 171 bits apart: eight in a row fall on all eight offsets in the byte.
  for (uint64_t k = 0; k < 16; ++k) plant(100 * 8 + 171 * k, k < 8 ? BZ2_BLOCK_MARKER : BZ2_END_MARKER);
  plant(0, BZ2_BLOCK_MARKER);
  plant(3000 * 8 + 5, BZ2_BLOCK_MARKER);
  plant(3000 * 8 + 5 + BZ2_MARKER_BITS, BZ2_END_MARKER);
  const size_t to = bytes.size() - (BZ2_MARKER_SPAN - 1);
  const std::vector<bz2_marker> found = vntest::bz2_markers(p, to);
  std::vector<bz2_marker> expected;
  for (uint64_t bit = 0; bit < to * 8; ++bit) {
    const uint64_t v = bz2_bits_at(p, bit, BZ2_MARKER_BITS);
    if (v == BZ2_BLOCK_MARKER || v == BZ2_END_MARKER) expected.push_back({bit, v == BZ2_END_MARKER});
  }
  ASSERT_GE(expected.size(), 19u);
  ASSERT_EQ(found.size(), expected.size());
  for (size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].bit, expected[i].bit);
    EXPECT_EQ(found[i].is_end, expected[i].is_end);
  }
}

#ifdef CPU_COUNT
// Held to one processor, the installer and vnpack start no threads unless
// told to.
TEST(BzunzipBlocks, ThreadCountFollowsTheProcessorsAllowed) {
  cpu_set_t saved, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  unsetenv("VNINSTALL_THREADS");
  const unsigned held = bzunzip_thread_count();
  setenv("VNINSTALL_THREADS", "3", 1);
  const unsigned told = bzunzip_thread_count();
  const unsigned vnpack_jobs = vnpack::default_jobs();
  unsetenv("VNINSTALL_THREADS");
  sched_setaffinity(0, sizeof saved, &saved);
  EXPECT_EQ(held, 1u);
  EXPECT_EQ(vnpack_jobs, 1u);
  EXPECT_EQ(told, 3u);
}
#endif

TEST(VnpackParallel, OneStreamWhateverTheThreadCount) {
  // Runs of exactly four bytes make libbz2's pre-encoding longer than the
  // data, runs of more make it shorter: pieces are cut by that length.
  std::string runs;
  for (int i = 0; runs.size() < 1000000; ++i) runs += std::string(4, static_cast<char>('a' + i % 20)) + "-";
  for (const std::string& data : {mixed(2000000), runs, std::string(3000000, 'x'), std::string()}) {
    const std::string one = vnpack_compress(data, 1, 1);
    EXPECT_TRUE(vnpack_compress(data, 1, 2) == one);
    EXPECT_TRUE(vnpack_compress(data, 1, 4) == one);
    // A decoder that stops at the first stream's end takes it all.
    std::string out(data.size() + 1, '\0');
    bz_stream strm{};
    ASSERT_EQ(BZ2_bzDecompressInit(&strm, 0, 0), BZ_OK);
    strm.next_in = const_cast<char*>(one.data());
    strm.avail_in = static_cast<unsigned>(one.size());
    strm.next_out = out.data();
    strm.avail_out = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzDecompress(&strm), BZ_STREAM_END);
    EXPECT_EQ(strm.avail_in, 0u);
    out.resize(out.size() - strm.avail_out);
    BZ2_bzDecompressEnd(&strm);
    EXPECT_TRUE(out == data);
  }
}

}  // namespace
