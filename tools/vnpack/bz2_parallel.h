// bz2_parallel.h - bzip2 compression on several threads into ONE stream.
//
// The input is cut into pieces that each fill one bzip2 block (the first
// few only part of one, so that decompressing starts soon); each piece is
// compressed by libbz2 on a worker thread, and the blocks are joined, bit-
// shifted and in order, behind one stream header and before one end marker
// with the combined CRC. Piece boundaries depend only on the data and the
// level, so the output is the same whatever the number of threads.
#ifndef VNPACK_BZ2_PARALLEL_H
#define VNPACK_BZ2_PARALLEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "bz2_blocks.h"
#include "file_io.h"
#include "ordered_pieces.h"

namespace vnpack {

// The processors vnpack may run on, at least 1.
unsigned default_jobs();

// One compressed block: a whole one-block stream and where its block ends.
struct Bz2Block {
  std::vector<unsigned char> stream;
  uint64_t end_bit = 0;  // where the end marker starts
  uint32_t crc = 0;
};

// Compresses data into one or more blocks (more only when one piece does
// not fit one block at this level; each part then gets its own).
std::vector<Bz2Block> compress_blocks(const char* data, size_t n, int level);

class ParallelBz2Compressor : public ByteSink {
 public:
  ParallelBz2Compressor(int level, unsigned jobs, ByteSink& out);
  ParallelBz2Compressor(const ParallelBz2Compressor&) = delete;
  ParallelBz2Compressor& operator=(const ParallelBz2Compressor&) = delete;
  ~ParallelBz2Compressor() override = default;

  void write(const void* data, size_t n) override;
  void finish();

 private:
  void submit();
  void join(std::vector<Bz2Block>& blocks);  // to the stream, in order
  void make_room(uint64_t bits);  // for bits more bits in bytes_
  void flush();                   // writes the complete bytes out

  const size_t capacity_;  // of a block, in pre-encoded bytes
  size_t piece_limit_;     // of the piece being collected, the same way
  ByteSink& out_;
  std::string current_;  // the piece being collected
  int run_byte_ = -1;     // its last run of equal bytes
  unsigned run_length_ = 0;
  size_t encoded_ = 0;    // its pre-encoded length before that run
  std::vector<unsigned char> bytes_;  // the writer's complete bytes
  bz2_bit_writer bits_;
  uint32_t combined_crc_ = 0;
  bool finished_ = false;
  OrderedPieces<std::vector<Bz2Block>> pieces_;  // last: its threads stop first
};

}  // namespace vnpack

#endif  // VNPACK_BZ2_PARALLEL_H
