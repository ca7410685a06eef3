// Tests of vnpack's bzip2 compressor and multi-stream decoder.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vnpack/bz2_stream.h"

namespace {

using vnpack::Bz2DecodeResult;
using Status = Bz2DecodeResult::Status;

class StringSink : public vnpack::ByteSink {
 public:
  void write(const void* data, size_t n) override { text.append(static_cast<const char*>(data), n); }
  std::string text;
};

std::string compress(const std::string& text, int level, size_t piece = 1 << 20) {
  StringSink out;
  vnpack::Bz2Compressor bz(level, out);
  for (size_t at = 0; at < text.size(); at += piece) bz.write(text.data() + at, std::min(piece, text.size() - at));
  bz.finish();
  return out.text;
}

// Decodes `input`, handing it out `piece` bytes at a time.
Bz2DecodeResult decode(const std::string& input, std::string* output = nullptr, size_t piece = 1000) {
  size_t pos = 0;
  vnpack::ByteSource source = [&](char* buf, size_t n) {
    size_t take = std::min({n, piece, input.size() - pos});
    input.copy(buf, take, pos);
    pos += take;
    return take;
  };
  StringSink sink;
  Bz2DecodeResult r = vnpack::decode_bz2(source, sink);
  if (output) *output = sink.text;
  return r;
}

std::string sample(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i) s += std::to_string(i * 7919 % 1000003) + ",";
  s.resize(n);
  return s;
}

TEST(VnpackBz2, RoundTripsWhateverTheWriteSizes) {
  const std::string text = sample(300000);
  const std::string whole = compress(text, 9);
  EXPECT_EQ(compress(text, 9, 1), whole) << "one-byte writes give the same stream";
  EXPECT_EQ(whole.substr(0, 4), "BZh9");
  EXPECT_EQ(compress(text, 1).substr(0, 4), "BZh1");
  std::string back;
  Bz2DecodeResult r = decode(whole, &back, 1);
  EXPECT_EQ(r.status, Status::complete);
  EXPECT_EQ(r.streams, 1);
  EXPECT_EQ(back, text);
}

TEST(VnpackBz2, EmptyInputGivesAnEmptyStream) {
  std::string back = "x";
  Bz2DecodeResult r = decode(compress("", 9), &back);
  EXPECT_EQ(r.status, Status::complete);
  EXPECT_EQ(back, "");
}

TEST(VnpackBz2, ConcatenatedStreamsDecodeAsOne) {
  const std::string a = sample(5000), b = sample(7000);
  std::string back;
  Bz2DecodeResult r = decode(compress(a, 9) + compress(b, 1), &back, 333);
  EXPECT_EQ(r.status, Status::complete);
  EXPECT_EQ(r.streams, 2);
  EXPECT_EQ(back, a + b);
}

TEST(VnpackBz2, EveryProperPrefixIsIncomplete) {
  // Small input, so the stream is short enough to try every prefix.
  const std::string stream = compress(sample(1500), 9);
  for (size_t n = 0; n < stream.size(); ++n) {
    Bz2DecodeResult r = decode(stream.substr(0, n));
    EXPECT_NE(r.status, Status::complete) << "prefix of " << n << " bytes";
  }
}

TEST(VnpackBz2, ReportsWhatIsWrong) {
  const std::string stream = compress(sample(20000), 9);
  EXPECT_EQ(decode("").status, Status::empty);
  EXPECT_EQ(decode(stream.substr(0, stream.size() - 1)).status, Status::cut_short);

  Bz2DecodeResult r = decode(stream + "junk");
  EXPECT_EQ(r.status, Status::trailing_data);
  EXPECT_EQ(r.stream_start, stream.size());
  EXPECT_EQ(vnpack::describe_bz2_problem(r),
            "data that is not bzip2 after the end of the stream, at byte " + std::to_string(stream.size()));

  r = decode("plain text, not compressed");
  EXPECT_EQ(r.status, Status::corrupt);
  EXPECT_EQ(vnpack::describe_bz2_problem(r), "not a bzip2 stream");

  std::string flipped = stream;
  flipped[stream.size() / 2] ^= 0x55;
  EXPECT_EQ(decode(flipped).status, Status::corrupt);
}

}  // namespace
