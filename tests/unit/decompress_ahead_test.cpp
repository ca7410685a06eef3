// Decompression ahead of the writer against the same decompressor called
// directly: the writer gets the same pieces in the same order, on the
// calling thread, with the messages in the same place among them and the
// same result, for bzip2 bodies of one and of many streams and for zstd,
// whole, damaged or cut short, read in short pieces.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "archive.h"
#include "decompress_ahead.h"
#include "installer.h"
#include "test_support.h"
#include "vnpack/zstd_stream.h"

namespace {

struct recorded_io {
  const std::string* input = nullptr;
  size_t position = 0;
  unsigned reads = 0;
  std::string writes;  // every call: its count and its bytes
  bool writer_elsewhere = false;
  bool reader_elsewhere = false;
  pthread_t caller = pthread_self();
};

recorded_io& io_of(bz_context* ctx) { return *reinterpret_cast<recorded_io*>(ctx->caller_value); }

// Short reads of varying size, as a pipe or a slow file gives them.
int short_reader(bz_context* ctx, char* buf, int wanted) {
  recorded_io& io = io_of(ctx);
  if (!pthread_equal(pthread_self(), io.caller)) io.reader_elsewhere = true;
  const size_t piece = 1 + (io.reads++ * 7919) % 3000;
  const size_t n = std::min({static_cast<size_t>(wanted), piece, io.input->size() - io.position});
  io.input->copy(buf, n, io.position);
  io.position += n;
  return static_cast<int>(n);
}

// Each call also leaves a line on standard error, so that the captured
// stream shows where the messages fall among the writes.
int recording_writer(bz_context* ctx, const char* data, int count) {
  recorded_io& io = io_of(ctx);
  if (!pthread_equal(pthread_self(), io.caller)) io.writer_elsewhere = true;
  io.writes += std::to_string(count) + ":";
  io.writes.append(data, static_cast<size_t>(count));
  std::fprintf(stderr, "write %d\n", count);
  return 0;
}

struct run_result {
  std::string writes;
  std::string log;
  int status;
  bool reader_elsewhere;
};

run_result run(unzip_function decompress, const std::string& input, const char* threads, bool ahead = true) {
  setenv("VNINSTALL_THREADS", threads, 1);
  recorded_io io;
  io.input = &input;
  testing::internal::CaptureStderr();
  const auto value = reinterpret_cast<intptr_t>(&io);
  const int status = ahead ? decompress_ahead(decompress, value, short_reader, recording_writer)
                           : decompress(value, short_reader, recording_writer);
  run_result r{io.writes, testing::internal::GetCapturedStderr(), status, io.reader_elsewhere};
  unsetenv("VNINSTALL_THREADS");
  EXPECT_FALSE(io.writer_elsewhere);
  return r;
}

void expect_as_direct(unzip_function decompress, const std::string& input) {
  EXPECT_FALSE(run(decompress, input, "1").reader_elsewhere);  // one thread: called directly
  for (const char* threads : {"2", "3"}) {
    SCOPED_TRACE(threads);
    const run_result direct = run(decompress, input, threads, false);
    const run_result ahead = run(decompress, input, threads);
    EXPECT_TRUE(ahead.reader_elsewhere);
    EXPECT_TRUE(ahead.writes == direct.writes) << ahead.writes.size() << " bytes of calls, direct " << direct.writes.size();
    EXPECT_TRUE(ahead.log == direct.log);
    EXPECT_EQ(ahead.status, direct.status);
  }
}

std::string sample(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i) s += std::to_string(i * 7919 % 100003) + (i % 11 ? " " : "\n");
  s.resize(n);
  return s + vntest::noise(n / 3, 5);
}

struct StringSink : vnpack::ByteSink {
  std::string bytes;
  void write(const void* data, size_t n) override { bytes.append(static_cast<const char*>(data), n); }
};

std::string zstd_compress(const std::string& data) {
  StringSink out;
  vnpack::ZstdCompressor z(3, 1, out);
  z.write(data.data(), data.size());
  z.finish();
  return out.bytes;
}

std::string damaged(std::string s, size_t at) {
  s[at] = static_cast<char>(s[at] ^ 0x5a);
  return s;
}

TEST(DecompressAhead, Bzip2AsCalledDirectly) {
  const std::string data = sample(900000);
  const std::string one_stream = vntest::bz2_compress(data, 1);
  const std::string many = vntest::bz2_compress(data.substr(0, 200000), 1) + vntest::bz2_compress("", 9) +
                           vntest::bz2_compress(data.substr(200000), 2);
  expect_as_direct(bzunzip, one_stream);
  expect_as_direct(bzunzip, many);
  expect_as_direct(bzunzip, damaged(one_stream, one_stream.size() / 2));
  expect_as_direct(bzunzip, many.substr(0, many.size() * 2 / 3));
  expect_as_direct(bzunzip, "not a bzip2 stream");
}

TEST(DecompressAhead, ZstdAsCalledDirectly) {
  const std::string packed = zstd_compress(sample(3000000));
  expect_as_direct(zstd_unzip, packed + zstd_compress("second frame"));
  expect_as_direct(zstd_unzip, damaged(packed, packed.size() / 2));
  expect_as_direct(zstd_unzip, packed.substr(0, packed.size() - 100));
  expect_as_direct(zstd_unzip, "");
}

// Writes of any size, some larger than the slots the output is queued in,
// between messages: what a slot holds moves when it must grow.
int uneven_writes(intptr_t caller_value, bz_reader reader, bz_writer writer) {
  bz_context ctx{caller_value, reader, writer};
  char none[1];
  reader(&ctx, none, 1);
  const std::string bytes = sample(2000000);
  size_t at = 0;
  for (const size_t n : {1000u, 300000u, 5u, 600000u, 70000u, 270000u, 0u, 400000u}) {
    writer(&ctx, bytes.data() + at, static_cast<int>(n));
    at += n;
    if (n == 5) report_unzip_message("between the writes\n");
  }
  return 7;
}

TEST(DecompressAhead, WritesLargerThanASlot) { expect_as_direct(uneven_writes, ""); }

TEST(DecompressAhead, NoThreadLeavesTheWorkToTheCallingThread) {
  const std::string packed = zstd_compress(sample(200000));
  bzunzip_refuse_threads = true;
  const run_result r = run(zstd_unzip, packed, "2");
  bzunzip_refuse_threads = false;
  EXPECT_FALSE(r.reader_elsewhere);
  EXPECT_EQ(r.status, 0);
}

}  // namespace
