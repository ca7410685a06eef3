// bzunzip with in-memory readers and writers (single, multiple, corrupt,
// cut-short and empty streams), on one thread and on several, the record
// feed over a real file, and the buffered file writer.
#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>

#include "archive.h"
#include "installer.h"
#include "test_support.h"

namespace {

std::string compress(const std::string& data, int block_size_100k = 1) {
  return vntest::bz2_compress(data, block_size_100k);
}
using vntest::noise;

// Input and output of one bzunzip run, reached through the caller value.
struct memory_stream {
  explicit memory_stream(std::string in = {}) : input(std::move(in)) {}
  std::string input;
  size_t position = 0;
  size_t piece = 2048;  // most bytes handed out per reader call
  std::string output;
  int writer_calls = 0;
};

memory_stream& stream_of(bz_context* ctx) { return *reinterpret_cast<memory_stream*>(ctx->caller_value); }

int memory_reader(bz_context* ctx, char* buf, int wanted) {
  memory_stream& m = stream_of(ctx);
  const size_t n = std::min({static_cast<size_t>(wanted), m.piece, m.input.size() - m.position});
  m.input.copy(buf, n, m.position);
  m.position += n;
  return static_cast<int>(n);
}

int memory_writer(bz_context* ctx, const char* data, int count) {
  memory_stream& m = stream_of(ctx);
  m.output.append(data, static_cast<size_t>(count));
  ++m.writer_calls;
  return 0;
}

// Large values are compared as booleans: a failure should not print them.
bool is_prefix(const std::string& part, const std::string& whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

int unzip(memory_stream& m) {
  return bzunzip(reinterpret_cast<intptr_t>(&m), memory_reader, memory_writer);
}

// Each case runs on the one-thread path and on three threads: both must
// take whatever a reader hands out, however short its pieces.
class Bzunzip : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { setenv("VNINSTALL_THREADS", GetParam(), 1); }
  void TearDown() override { unsetenv("VNINSTALL_THREADS"); }
};
INSTANTIATE_TEST_SUITE_P(Threads, Bzunzip, ::testing::Values("1", "3"),
                         [](const auto& info) { return std::string("threads") + info.param; });

TEST_P(Bzunzip, SingleStreamInAnyPieceSize) {
  const std::string data = noise(300000, 1);
  for (size_t piece : {1, 3, 2048}) {
    SCOPED_TRACE(piece);
    memory_stream m{compress(data)};
    m.piece = piece;
    EXPECT_EQ(unzip(m), 0);
    EXPECT_TRUE(m.output == data);
  }
}

TEST_P(Bzunzip, MultiStreamBodyIsDecompressedWhole) {
  const std::string a = noise(150000, 2), b = "second stream", c = noise(5000, 3);
  const std::string joined = compress(a) + compress(b, 9) + compress("") + compress(c);
  for (size_t piece : {1, 2, 5, 2048}) {  // the next stream's magic split across reads
    SCOPED_TRACE(piece);
    memory_stream m{joined};
    m.piece = piece;
    EXPECT_EQ(unzip(m), 0);
    EXPECT_TRUE(m.output == a + b + c);
  }
}

TEST_P(Bzunzip, TrailingBytesThatAreNoStreamAreIgnored) {
  const std::string payload = noise(300000, 2);
  for (const std::string& tail : {std::string("BZ"), std::string("BZh0junk"), std::string(600, '\0'),
                                  std::string(4 << 20, 'j')}) {
    memory_stream m{compress(payload) + tail};
    EXPECT_EQ(unzip(m), 0);
    EXPECT_TRUE(m.output == payload);
    // Nor are they read far: a tail of megabytes stays unread.
    EXPECT_LT(m.position, m.input.size() - tail.size() + 128 * 1024);
  }
}

TEST_P(Bzunzip, CorruptStreamFails) {
  const std::string data = noise(250000, 4);
  std::string packed = compress(data);
  packed[packed.size() / 2] ^= 0x55;
  memory_stream m{packed};
  testing::internal::CaptureStderr();
  EXPECT_NE(unzip(m), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "bzDecompress: failed, ret=-4\n");
  // The damage lies in the second 100k block; the first one is intact.
  EXPECT_GE(m.output.size(), 90000u);
  EXPECT_TRUE(is_prefix(m.output.substr(0, 90000), data));

  memory_stream garbage{"this is not compressed data"};
  testing::internal::CaptureStderr();
  EXPECT_NE(unzip(garbage), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "bzDecompress: failed, ret=-5\n");

  // A corrupt second stream fails after the first was written.
  memory_stream second{compress("first") + "BZh9" + std::string(40, 'x')};
  testing::internal::CaptureStderr();
  EXPECT_NE(unzip(second), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(second.output, "first");
}

TEST_P(Bzunzip, CutShortStreamFailsAndKeepsWhatWasDecompressed) {
  const std::string data = noise(350000, 5);
  const std::string packed = compress(data);
  for (size_t keep : {size_t{4}, packed.size() / 2, packed.size() - 1}) {
    SCOPED_TRACE(keep);
    memory_stream m{packed.substr(0, keep)};
    testing::internal::CaptureStderr();
    EXPECT_NE(unzip(m), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(is_prefix(m.output, data));
  }
  // Blocks before the cut are all written.
  memory_stream m{packed.substr(0, packed.size() - 1)};
  unzip(m);
  EXPECT_GE(m.output.size(), 300000u);

  // A second stream that is cut short fails too.
  memory_stream two{compress("one") + compress(noise(1000, 6)).substr(0, 30)};
  EXPECT_NE(unzip(two), 0);
}

TEST_P(Bzunzip, EmptyInputIsNoStreamAndNoFailure) {
  memory_stream m;
  EXPECT_EQ(unzip(m), 0);
  EXPECT_EQ(m.writer_calls, 0);
}

// The feed over a file laid out as: other bytes, the record body, the next
// record's bytes.
struct RecordFeed : vntest::ScratchDir {
  void SetUp() override {
    ScratchDir::SetUp();
    saved_fd = package_fd;
  }
  void TearDown() override {
    if (package_fd >= 0 && package_fd != saved_fd) close(package_fd);
    package_fd = saved_fd;
    ScratchDir::TearDown();
  }
  // Writes the package file and starts the feed on the body.
  void lay_out(const std::string& before, const std::string& body, const std::string& after,
               uint32_t stated_length) {
    std::ofstream("package", std::ios::binary) << before << body << after;
    package_fd = open("package", O_RDONLY);
    ASSERT_GE(package_fd, 0);
    lseek(package_fd, 7, SEEK_SET);  // the feed must not rely on the position
    feed_start(static_cast<uint32_t>(before.size()), stated_length);
  }
  std::string read_all(int wanted) {
    std::string got;
    char buf[8192];
    for (int n; (n = record_reader(nullptr, buf, wanted)) > 0;) got.append(buf, static_cast<size_t>(n));
    return got;
  }
  int saved_fd = -1;
};

TEST_F(RecordFeed, HandsOutExactlyTheBody) {
  const std::string body = noise(5000, 7);
  for (int wanted : {1, 100, 2047, 2048, 2049, 8192}) {
    SCOPED_TRACE(wanted);
    lay_out(std::string(3000, 'h'), body, std::string(4000, 'n'), static_cast<uint32_t>(body.size()));
    EXPECT_EQ(read_all(wanted), body);
    EXPECT_EQ(feed_bytes_handed_out(), body.size());
    close(package_fd);
  }
}

TEST_F(RecordFeed, BodyRunningPastTheFileEndGivesWhatThereIs) {
  lay_out("head", "partial", "", 1000);
  EXPECT_EQ(read_all(2048), "partial");
}

TEST_F(RecordFeed, ZeroLengthRecordHandsOutNothing) {
  lay_out("head", "", compress("next record"), 0);
  EXPECT_EQ(bzunzip(0, record_reader, [](bz_context*, const char*, int) {
              ADD_FAILURE() << "writer called";
              return 0;
            }),
            0);
  EXPECT_EQ(feed_bytes_handed_out(), 0u);
}

// A stream longer than its record is cut short by the record's end, even
// when the rest of the stream lies right behind it in the file.
TEST_F(RecordFeed, StreamLongerThanItsRecordIsCutShort) {
  const std::string packed = compress(noise(20000, 8));
  lay_out("head", packed.substr(0, 3000), packed.substr(3000), 3000);
  EXPECT_NE(bzunzip(0, record_reader, [](bz_context*, const char*, int) { return 0; }), 0);
  EXPECT_EQ(feed_bytes_handed_out(), 3000u);
}

// The next stream of a multi-stream body is looked for only inside the body.
TEST_F(RecordFeed, NextStreamBehindTheBodyIsNotRead) {
  const std::string first = compress("inside");
  lay_out("head", first, compress("outside"), static_cast<uint32_t>(first.size()));
  static std::string out;
  out.clear();
  EXPECT_EQ(bzunzip(0, record_reader, [](bz_context*, const char* d, int n) {
              out.append(d, static_cast<size_t>(n));
              return 0;
            }),
            0);
  EXPECT_EQ(out, "inside");
}

// The body of a record beyond 2 GiB is read from its place (the file is
// sparse, so it takes no room on disk).
TEST_F(RecordFeed, BodyBeyond2GiBIsReadFromItsOffset) {
  const std::string body = noise(5000, 9);
  for (uint32_t offset : {0x80000000u, 0xffff0000u}) {
    package_fd = open("package", O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(package_fd, 0);
    ASSERT_EQ(pwrite(package_fd, body.data(), body.size(), offset), static_cast<ssize_t>(body.size()));
    feed_start(offset, static_cast<uint32_t>(body.size()));
    EXPECT_EQ(read_all(3000), body) << offset;
    close(package_fd);
  }
}

TEST_F(RecordFeed, BufferedFileWriterWritesEverythingInOrder) {
  feed_output_stream = std::fopen("out", "wb");
  ASSERT_NE(feed_output_stream, nullptr);
  const std::string data = noise(10000, 9);
  for (size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 3 + 1)
    EXPECT_EQ(buffered_file_writer(nullptr, data.data() + at, static_cast<int>(std::min(piece, data.size() - at))), 0);
  std::fclose(feed_output_stream);
  feed_output_stream = nullptr;
  EXPECT_EQ(vntest::slurp("out"), data);
}

}  // namespace
