// Our bzip2 block decoder against libbz2 on damaged blocks: the input is
// xored over a sound block from its CRC on (its first byte picks the
// block), and both decoders must hand on the same pieces with the same
// result. Anything else aborts.
#include <bzlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "block_decoder.h"
#include "bz2_blocks.h"

namespace {

struct sample {
  std::string bytes;
  uint64_t start;
  uint64_t end;
};

// Blocks of text with runs, and of bytes of every value, at level 1.
std::vector<sample> make_samples() {
  std::string data;
  for (unsigned i = 0; data.size() < 60000; ++i) data += std::to_string(i * 7919 % 100003) + (i % 9 ? " " : "\n");
  for (unsigned len = 1; len < 300; ++len) data += std::string(len, static_cast<char>('a' + len % 5));
  std::string bytes;
  for (unsigned i = 0; i < 30000; ++i) bytes += static_cast<char>((i * 2654435761u) >> 13);
  std::vector<sample> samples;
  for (const std::string& input : {data, bytes}) {
    std::string out(input.size() * 2 + 1000, '\0');
    auto size = static_cast<unsigned>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(input.data()),
                                 static_cast<unsigned>(input.size()), 1, 0, 0) != BZ_OK)
      std::abort();
    out.resize(size + BZ2_MARKER_SPAN);
    std::vector<bz2_marker> markers;
    bz2_find_markers(
        reinterpret_cast<const unsigned char*>(out.data()), 0, size,
        [](void* ctx, bz2_marker m) { static_cast<std::vector<bz2_marker>*>(ctx)->push_back(m); }, &markers);
    if (markers.size() < 2) std::abort();
    samples.push_back({out, markers[0].bit, markers[1].bit});
  }
  return samples;
}

bool collect(void* ctx, const char* data, unsigned n) {
  static_cast<std::vector<std::string>*>(ctx)->emplace_back(data, n);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<sample> samples = make_samples();
  if (size == 0) return 0;
  const sample& s = samples[data[0] % samples.size()];
  std::string bytes = s.bytes;
  const size_t from = s.start / 8 + 6;  // the block's CRC
  const size_t raw_end = (s.end + 7) / 8;
  for (size_t i = 1; i < size && from + i - 1 < raw_end; ++i) bytes[from + i - 1] ^= static_cast<char>(data[i]);
  const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data()) + s.start / 8;
  const size_t raw_size = raw_end - s.start / 8;
  static block_space space{};
  std::vector<std::string> ours, reference;
  const block_result a = decode_block(raw, raw_size, s.start, s.end, 1, space, collect, &ours);
  const block_result b = decode_block_with_libbz2(raw, raw_size, s.start, 1, space.lib, collect, &reference);
  if (a.result != b.result || a.error != b.error || ours != reference) std::abort();
  return 0;
}
