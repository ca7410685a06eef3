// Our bzip2 block decoder against libbz2, block by block: the same pieces
// of output and the same result for sound blocks of every shape, and for
// the same blocks damaged, cut short or stopped part-way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_decoder.h"
#include "bz2_blocks.h"
#include "test_support.h"

namespace {

struct decoded {
  std::vector<std::string> pieces;
  outcome result;
  int error;
  size_t stop_after = SIZE_MAX;  // pieces taken before emit says stop
};

bool collect(void* ctx, const char* data, unsigned n) {
  auto& d = *static_cast<decoded*>(ctx);
  d.pieces.emplace_back(data, n);
  return d.pieces.size() < d.stop_after;
}

struct block_at {
  uint64_t start;
  uint64_t end;
};

struct stream {
  std::string bytes;  // with zeros behind, for the marker scan
  int level;
  std::vector<block_at> blocks;
};

stream compress(const std::string& data, int level) {
  stream s{vntest::bz2_compress(data, level), level, {}};
  const size_t size = s.bytes.size();
  s.bytes.resize(size + BZ2_MARKER_SPAN);
  const std::vector<bz2_marker> markers =
      vntest::bz2_markers(reinterpret_cast<const unsigned char*>(s.bytes.data()), size);
  for (size_t i = 0; i + 1 < markers.size(); ++i)
    if (!markers[i].is_end) s.blocks.push_back({markers[i].bit, markers[i + 1].bit});
  return s;
}

struct both {
  decoded ours;
  decoded reference;
};

both decode(const std::string& bytes, int level, block_at b, size_t stop_after = SIZE_MAX) {
  const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data()) + b.start / 8;
  const size_t raw_size = (b.end + 7) / 8 - b.start / 8;
  both r;
  r.ours.stop_after = r.reference.stop_after = stop_after;
  static block_space space{};  // kept, as a thread keeps it from block to block
  const block_result ours = decode_block(raw, raw_size, b.start, b.end, level, space, collect, &r.ours);
  const block_result ref = decode_block_with_libbz2(raw, raw_size, b.start, level, space.lib, collect, &r.reference);
  r.ours.result = ours.result;
  r.ours.error = ours.error;
  r.reference.result = ref.result;
  r.reference.error = ref.error;
  return r;
}

void expect_same(const both& r) {
  EXPECT_EQ(r.ours.result, r.reference.result);
  EXPECT_EQ(r.ours.error, r.reference.error);
  ASSERT_EQ(r.ours.pieces.size(), r.reference.pieces.size());
  for (size_t i = 0; i < r.ours.pieces.size(); ++i) EXPECT_TRUE(r.ours.pieces[i] == r.reference.pieces[i]) << i;
}

// Runs of every length around the run coding's edges (4 equal bytes and a
// count, counts up to 255), in a block that also ends in such a run.
std::string runs() {
  std::string s;
  for (unsigned len = 1; len <= 600; ++len) s += std::string(len, static_cast<char>('a' + len % 7));
  return s + std::string(259, 'q') + std::string(4, 'r');
}

TEST(Bz2FastBlock, SoundBlocksDecodeAsLibbz2DoesThem) {
  const std::string inputs[] = {vntest::text(1000000), vntest::noise(300000, 3), runs(), std::string(1000000, '\0'),
                                std::string(1, 'x'), vntest::text(20000) + vntest::noise(5000, 9)};
  for (const std::string& input : inputs)
    for (int level : {1, 9}) {
      const stream s = compress(input, level);
      ASSERT_FALSE(s.blocks.empty());
      std::string all;
      for (const block_at& b : s.blocks) {
        const both r = decode(s.bytes, level, b);
        EXPECT_EQ(r.ours.result, outcome::complete);
        expect_same(r);
        for (const std::string& p : r.ours.pieces) all += p;
      }
      EXPECT_TRUE(all == input) << input.size() << " bytes at level " << level;
    }
}

TEST(Bz2FastBlock, DamagedCutAndStoppedBlocksAsLibbz2) {
  const std::string input = vntest::text(12000) + vntest::noise(3000, 5) + runs();
  const stream s = compress(input, 1);
  const block_at b = s.blocks.front();
  // The stored CRC changed: all output, then the failure.
  std::string bytes = s.bytes;
  bytes[b.start / 8 + 8] ^= 0x10;
  both r = decode(bytes, 1, b);
  EXPECT_EQ(r.ours.result, outcome::failed);
  expect_same(r);
  // Single bits flipped all over the block: whatever libbz2 makes of it.
  uint32_t seed = 12345;
  for (int i = 0; i < 200; ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint64_t bit = b.start + 48 + seed % (b.end - b.start - 48);
    bytes = s.bytes;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (0x80 >> (bit % 8)));
    SCOPED_TRACE(bit);
    expect_same(decode(bytes, 1, b));
  }
  // Cut short, as at a marker pattern inside compressed data.
  expect_same(decode(s.bytes, 1, {b.start, b.start + (b.end - b.start) / 2}));
  // The writer's side stops after the first piece.
  r = decode(s.bytes, 1, b, 1);
  EXPECT_EQ(r.ours.result, outcome::incomplete);
  expect_same(r);
}

}  // namespace
