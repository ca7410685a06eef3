// bzunzip on several threads. The calling thread reads the record, finds
// the block markers, and hands each block (from its marker to the next) to
// a worker, which decompresses it with libbz2 as a stream of its own. The
// calling thread writes the blocks' output in order, checks the combined
// CRC at each end marker and makes every callback and message.
//
// libbz2 decodes bytes, and blocks start at any bit. So that the record's
// bytes can be fed unchanged, a block is preceded by a stream header and a
// tiny block of known content whose length in bits leaves the real block
// at its own bit position in the byte; the tiny block's output is dropped.
// Beyond that a decoder is fed only bytes of the record itself (a block is
// followed by the first bits of the next marker), so whatever it outputs is
// what the sequential path outputs for that block, damaged or not.
//
// A decoder that has not finished its block at the next marker was cut at
// a marker pattern inside compressed data (or at a damaged block). The
// block is then decompressed again on the calling thread, fed the record's
// bytes marker by marker until it finishes, fails or the input ends, and
// the blocks cut out of it are dropped. The same happens to the last block
// of a record that ends without an end marker.
#include <bzlib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "archive.h"
#include "bz2_blocks.h"
#include "installer.h"

bool bzunzip_refuse_threads = false;
std::vector<uint64_t> bzunzip_false_markers;

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;
constexpr unsigned OUTPUT_CHUNK = 64 * 1024;
// Decompressed bytes one block may hold while it waits for its turn.
constexpr size_t OUTPUT_AHEAD_LIMIT = 2 * 1024 * 1024;
// Blocks read ahead beyond one per thread.
constexpr unsigned EXTRA_BLOCKS = 2;
constexpr unsigned MAX_THREADS = 64;
// More than any block holds compressed (900k symbols of at most 20 bits,
// plus tables): a longer stretch without a marker is not a block.
constexpr uint64_t MAX_BLOCK_BYTES = 3 * 1024 * 1024;
constexpr uint64_t STREAM_END_BITS = BZ2_MARKER_BITS + BZ2_CRC_BITS;
constexpr int FED_ALL = 1;  // decoder::feed stopped because emit said so

// Complete bzip2 blocks of 1 to 14 bytes of data whose lengths in bits are
// 0 to 7 modulo 8, in that order.
struct alignment_block {
  unsigned bits;
  unsigned output;  // bytes it decompresses to
  unsigned char data[56];
};
constexpr alignment_block ALIGNMENT_BLOCKS[8] = {
    {352, 10, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x72, 0x0d, 0x47, 0xaf, 0x00, 0x00, 0x00, 0x57, 0x2a, 0x40, 0x40, 0x02, 0x02, 0x00, 0x10, 0x10, 0x00, 0x00, 0x00, 0x84, 0x00, 0x00, 0x20, 0x00, 0x01, 0x20, 0x00, 0x22, 0x01, 0xa6, 0x98, 0x40, 0x0c, 0x02, 0xbc, 0xd1, 0xc7, 0xd3}},
    {337, 9, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xdc, 0x96, 0x78, 0x47, 0x00, 0x00, 0x00, 0x55, 0x2a, 0x40, 0x40, 0x02, 0x02, 0x00, 0x10, 0x00, 0x00, 0x84, 0x00, 0x00, 0x20, 0x00, 0x01, 0x20, 0x00, 0x22, 0x0c, 0x99, 0x34, 0x20, 0xc9, 0x88, 0x30, 0x1d, 0x4f, 0xa7, 0x8b}},
    {330, 8, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xda, 0xfa, 0x9e, 0x95, 0x00, 0x00, 0x00, 0x55, 0x2a, 0x40, 0x40, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x84, 0x00, 0x00, 0x20, 0x00, 0x01, 0x20, 0x00, 0x31, 0x0c, 0x08, 0x19, 0x1a, 0x69, 0x99, 0x35, 0x73, 0xf9, 0x45}},
    {179, 1, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xb1, 0xf7, 0x40, 0x4b, 0x00, 0x00, 0x00, 0x40, 0x00, 0x40, 0x00, 0x20, 0x00, 0x21, 0x18, 0x46, 0x82}},
    {196, 2, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x70, 0xae, 0x46, 0x09, 0x00, 0x00, 0x00, 0x50, 0x00, 0x40, 0x00, 0x02, 0x00, 0x20, 0x00, 0x21, 0x00, 0x82, 0xb1}},
    {421, 14, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x19, 0x72, 0x34, 0x07, 0x00, 0x00, 0x00, 0x57, 0xaf, 0x40, 0x40, 0x02, 0x02, 0x00, 0x10, 0x10, 0x00, 0x00, 0x00, 0x80, 0x80, 0x04, 0x04, 0x00, 0x20, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x20, 0x00, 0x22, 0x98, 0x00, 0x68, 0x40, 0x00, 0x00, 0x0d, 0x15, 0x9e, 0x26, 0xaf, 0x34, 0x70}},
    {254, 4, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xfa, 0x42, 0x66, 0xc4, 0x00, 0x00, 0x00, 0x55, 0x00, 0x40, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0xa0, 0x00, 0x21, 0x9a, 0x68, 0x33, 0x4d, 0x13, 0x3c}},
    {335, 9, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0x6c, 0x86, 0x14, 0xc8, 0x00, 0x00, 0x01, 0x55, 0x4a, 0x40, 0x00, 0x02, 0x00, 0x10, 0x10, 0x00, 0x80, 0x80, 0x04, 0x20, 0x00, 0x01, 0x00, 0x20, 0x00, 0x31, 0x06, 0x4c, 0x41, 0x06, 0x8c, 0x24, 0xc5, 0xbc, 0x53, 0x9e}},
};

enum class outcome { running, complete, incomplete, failed, init_failed };

struct block_job {
  uint64_t start = 0;  // bit of its block marker
  uint64_t end = 0;    // bit of the next marker, or the end of the input
  int level = 9;
  std::vector<unsigned char> raw;  // input bytes from start / 8 on
  // The rest is guarded by the pool's mutex once the job is submitted.
  std::deque<std::vector<char>> out;
  size_t out_bytes = 0;
  outcome result = outcome::running;
  int error = 0;
  bool cancelled = false;
};
using job_ptr = std::shared_ptr<block_job>;

// libbz2 fed the record's bytes from a block's marker on.
struct decoder {
  bz_stream strm{};
  int init_error = BZ_OK;
  std::vector<char> buf = std::vector<char>(OUTPUT_CHUNK);
  uint64_t skip = 0;  // output of the alignment block

  decoder() { init_error = BZ2_bzDecompressInit(&strm, 0, 0); }
  ~decoder() {
    if (init_error == BZ_OK) BZ2_bzDecompressEnd(&strm);
  }
  decoder(const decoder&) = delete;
  decoder& operator=(const decoder&) = delete;

  // True once the block that begins at the start bit has given output.
  bool produced_output() const {
    return ((static_cast<uint64_t>(strm.total_out_hi32) << 32) | strm.total_out_lo32) > skip;
  }

  // A stream header, the alignment block and the bits of first_byte from
  // bit start % 8 on; the record's bytes after that follow unchanged.
  template <class Emit>
  int begin(int level, uint64_t start, unsigned char first_byte, Emit&& emit) {
    const alignment_block& a = ALIGNMENT_BLOCKS[start % 8];
    bz2_bit_writer w;
    w.bytes = {'B', 'Z', 'h', static_cast<unsigned char>('0' + level)};
    w.put_bits(a.data, 0, a.bits);
    const int rest = static_cast<int>((8 - start % 8) % 8);
    if (rest > 0) w.put(first_byte, rest);
    skip = a.output;
    return feed(w.bytes.data(), w.bytes.size(), emit);
  }

  // Decompresses n more bytes, handing each piece of output to emit (which
  // returns false to stop early). Returns BZ_OK once all input is taken and
  // the decoder wants more, BZ_STREAM_END, FED_ALL, or libbz2's error.
  template <class Emit>
  int feed(const unsigned char* p, size_t n, Emit&& emit) {
    strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(p));
    strm.avail_in = static_cast<unsigned>(n);
    for (;;) {
      strm.next_out = buf.data();
      strm.avail_out = OUTPUT_CHUNK;
      const uint64_t out_before = (static_cast<uint64_t>(strm.total_out_hi32) << 32) | strm.total_out_lo32;
      const int ret = BZ2_bzDecompress(&strm);
      unsigned produced = OUTPUT_CHUNK - strm.avail_out;
      const unsigned dropped = out_before >= skip ? 0 : static_cast<unsigned>(std::min<uint64_t>(skip - out_before, produced));
      produced -= dropped;
      if (produced > 0 && !emit(buf.data() + dropped, produced)) return FED_ALL;
      if (ret != BZ_OK) return ret;
      if (strm.avail_in == 0 && strm.avail_out > 0) return BZ_OK;
    }
  }
};

struct block_result {
  outcome result;
  int error;
};

// Decompresses one block job.
template <class Emit>
block_result decode_block(block_job& job, Emit&& emit) {
  decoder d;
  if (d.init_error != BZ_OK) return {outcome::init_failed, d.init_error};
  int ret = d.begin(job.level, job.start, job.raw[0], emit);
  const size_t from = job.start % 8 == 0 ? 0 : 1;
  if (ret == BZ_OK) ret = d.feed(job.raw.data() + from, job.raw.size() - from, emit);
  std::vector<unsigned char>().swap(job.raw);
  if (ret == FED_ALL) return {outcome::incomplete, ret};
  if (ret == BZ_OK || ret == BZ_STREAM_END) return {d.produced_output() ? outcome::complete : outcome::incomplete, ret};
  return {outcome::failed, ret};
}

// Worker threads taking block jobs in order.
struct worker_pool {
  std::mutex m;
  std::condition_variable work_cv;
  std::condition_variable progress_cv;  // output, results, room for output
  std::deque<job_ptr> pending;
  bool stopping = false;
  std::vector<std::thread> threads;

  bool start(unsigned n) {
    if (bzunzip_refuse_threads) return false;
    for (unsigned i = 0; i < n; ++i) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    return !threads.empty();
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(m);
      stopping = true;
    }
    work_cv.notify_all();
    progress_cv.notify_all();
    for (std::thread& t : threads) t.join();
    threads.clear();
  }

  void submit(const job_ptr& job) {
    {
      std::lock_guard<std::mutex> lock(m);
      pending.push_back(job);
    }
    work_cv.notify_one();
  }

  // Takes a job no worker has started; false when one has.
  bool take(const job_ptr& job) {
    std::lock_guard<std::mutex> lock(m);
    auto it = std::find(pending.begin(), pending.end(), job);
    if (it == pending.end()) return false;
    pending.erase(it);
    return true;
  }

  void cancel(const job_ptr& job) {
    {
      std::lock_guard<std::mutex> lock(m);
      job->cancelled = true;
      auto it = std::find(pending.begin(), pending.end(), job);
      if (it != pending.end()) pending.erase(it);
    }
    progress_cv.notify_all();
  }

  // Queues one piece of a job's output, waiting while it holds too much.
  bool emit(block_job& job, const char* data, unsigned n) {
    std::vector<char> piece(data, data + n);
    std::unique_lock<std::mutex> lock(m);
    progress_cv.wait(lock, [&] { return job.cancelled || stopping || job.out_bytes < OUTPUT_AHEAD_LIMIT; });
    if (job.cancelled || stopping) return false;
    job.out_bytes += n;
    job.out.push_back(std::move(piece));
    progress_cv.notify_all();
    return true;
  }

  void work() {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      work_cv.wait(lock, [&] { return stopping || !pending.empty(); });
      if (stopping) return;
      job_ptr job = pending.front();
      pending.pop_front();
      lock.unlock();
      block_result r{outcome::failed, BZ_MEM_ERROR};
      try {
        r = decode_block(*job, [&](const char* data, unsigned n) { return emit(*job, data, n); });
      } catch (const std::bad_alloc&) {
        // Reported as the decompressor reports memory it cannot get.
      }
      lock.lock();
      job->result = r.result;
      job->error = r.error;
      progress_cv.notify_all();
    }
  }
};

enum class step_kind { complete, cut_short, failed, needs_redo };
struct step {
  step_kind kind;
  uint64_t end = 0;  // complete: the bit where the next marker starts
};

class block_engine {
 public:
  block_engine(const bz_context& ctx, unsigned threads)
      : ctx_(ctx), threads_(std::min(threads, MAX_THREADS)), max_jobs_(threads_ + EXTRA_BLOCKS) {}
  ~block_engine() {
    for (const job_ptr& j : jobs_) pool_.cancel(j);
    pool_.stop();
  }
  block_engine(const block_engine&) = delete;
  block_engine& operator=(const block_engine&) = delete;

  int run();

 private:
  uint64_t total_bytes() const { return raw_base_ + raw_.size(); }
  const unsigned char* at(uint64_t byte) const { return raw_.data() + (byte - raw_base_); }
  bool read_more();
  bool ensure_bytes(uint64_t end_byte);
  void scan();
  void trim(uint64_t keep_bit);
  void fill();
  void dispatch();
  void write(const char* data, size_t n) { ctx_.writer(&ctx_, data, static_cast<int>(n)); }
  step head_block(uint64_t h, int level);
  step drain(const job_ptr& job);
  step redo(uint64_t h, int level);
  bool marker_at(uint64_t bit, bz2_marker& m);
  [[noreturn]] static void fatal_init(int error);

  bz_context ctx_;
  const unsigned threads_;
  const size_t max_jobs_;

  std::vector<char> chunk_ = std::vector<char>(READ_CHUNK);
  std::vector<unsigned char> raw_;  // input bytes from raw_base_ on
  uint64_t raw_base_ = 0;
  uint64_t scanned_to_ = 0;  // marker starts before this byte are known
  bool input_ended_ = false;

  std::deque<bz2_marker> markers_;  // from the head on, in input order
  size_t dispatched_ = 0;           // markers_ whose blocks are dispatched
  int dispatch_level_ = 9;
  uint64_t next_stream_block_ = UINT64_MAX;  // first block of the stream after an end marker
  int next_stream_level_ = 9;

  std::deque<job_ptr> jobs_;  // dispatched blocks, in input order
  worker_pool pool_;
  bool pool_tried_ = false;
};

bool block_engine::read_more() {
  if (input_ended_) return false;
  const int n = ctx_.reader(&ctx_, chunk_.data(), static_cast<int>(chunk_.size()));
  if (n > 0) raw_.insert(raw_.end(), chunk_.begin(), chunk_.begin() + n);
  if (n <= 0) input_ended_ = true;
  scan();
  return n > 0;
}

bool block_engine::ensure_bytes(uint64_t end_byte) {
  while (total_bytes() < end_byte)
    if (!read_more()) return false;
  return true;
}

void block_engine::scan() {
  std::vector<bz2_marker> found;
  const uint64_t first_bit = scanned_to_ * 8;
  const uint64_t total = total_bytes();
  if (total >= BZ2_MARKER_SPAN && scanned_to_ + BZ2_MARKER_SPAN <= total) {
    const uint64_t to = total - (BZ2_MARKER_SPAN - 1);
    bz2_find_markers(at(scanned_to_), 0, static_cast<size_t>(to - scanned_to_), found);
    for (bz2_marker& m : found) m.bit += scanned_to_ * 8;
    scanned_to_ = to;
  }
  if (input_ended_ && scanned_to_ < total) {
    // The last bytes, padded with zeros; a marker must end before them.
    std::vector<unsigned char> tail(at(scanned_to_), at(total));
    const size_t n = tail.size();
    tail.resize(n + BZ2_MARKER_SPAN);
    std::vector<bz2_marker> last;
    bz2_find_markers(tail.data(), 0, n, last);
    for (bz2_marker m : last) {
      m.bit += scanned_to_ * 8;
      if (m.bit + BZ2_MARKER_BITS <= total * 8) found.push_back(m);
    }
    scanned_to_ = total;
  }
  // Markers a test claims lie inside compressed data.
  for (uint64_t bit : bzunzip_false_markers)
    if (bit >= first_bit && bit < scanned_to_ * 8) found.push_back({bit, false});
  std::sort(found.begin(), found.end(), [](const bz2_marker& x, const bz2_marker& y) { return x.bit < y.bit; });
  markers_.insert(markers_.end(), found.begin(), found.end());
}

// Everything before keep_bit is done with: its markers, jobs and bytes.
void block_engine::trim(uint64_t keep_bit) {
  while (!markers_.empty() && markers_.front().bit < keep_bit) {
    markers_.pop_front();
    if (dispatched_ > 0) --dispatched_;
  }
  while (!jobs_.empty() && jobs_.front()->start < keep_bit) {
    pool_.cancel(jobs_.front());
    jobs_.pop_front();
  }
  const uint64_t keep_byte = std::min(keep_bit / 8, scanned_to_);
  const uint64_t dead = keep_byte > raw_base_ ? keep_byte - raw_base_ : 0;
  if (dead > READ_CHUNK && dead > raw_.size() / 2) {
    raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(dead));
    raw_base_ += dead;
  }
}

void block_engine::dispatch() {
  while (jobs_.size() < max_jobs_ && dispatched_ < markers_.size()) {
    const bz2_marker m = markers_[dispatched_];
    const bool last = dispatched_ + 1 == markers_.size();
    // A block without a marker behind it is left to the calling thread.
    if (last) return;
    ++dispatched_;
    if (m.is_end) {
      // A stream that follows starts its first block with its own level.
      const uint64_t q = (m.bit + STREAM_END_BITS + 7) / 8;
      if (q + BZ2_HEADER_BYTES <= total_bytes() && bz2_is_stream_header(at(q))) {
        next_stream_block_ = q * 8 + BZ2_HEADER_BYTES * 8;
        next_stream_level_ = at(q)[3] - '0';
      }
      continue;
    }
    if (m.bit == next_stream_block_) dispatch_level_ = next_stream_level_;
    auto job = std::make_shared<block_job>();
    job->start = m.bit;
    job->end = markers_[dispatched_].bit;
    job->level = dispatch_level_;
    job->raw.assign(at(m.bit / 8), at((job->end + 7) / 8));
    jobs_.push_back(job);
    if (!pool_tried_ && jobs_.size() >= 2) {
      // A second block: now threads pay off.
      pool_tried_ = true;
      if (pool_.start(threads_))
        for (const job_ptr& j : jobs_) pool_.submit(j);
    } else if (!pool_.threads.empty()) {
      pool_.submit(job);
    }
  }
}

// Reads ahead until enough blocks are dispatched, without holding more
// than a block's worth of input that is not yet dispatched.
void block_engine::fill() {
  for (;;) {
    dispatch();
    if (jobs_.size() >= max_jobs_ || input_ended_) return;
    const uint64_t frontier = dispatched_ < markers_.size() ? markers_[dispatched_].bit / 8 : scanned_to_;
    if (total_bytes() - std::min(frontier, total_bytes()) > MAX_BLOCK_BYTES) return;
    read_more();
  }
}

bool block_engine::marker_at(uint64_t bit, bz2_marker& m) {
  while (scanned_to_ <= bit / 8 && read_more()) {
  }
  if (markers_.empty() || markers_.front().bit != bit) return false;
  m = markers_.front();
  return true;
}

void block_engine::fatal_init(int error) {
  std::fprintf(stderr, "bzDecompressInit: failed, ret=%d\n", error);
  std::exit(1);
}

// The block at the head: its job's output goes to the writer.
step block_engine::head_block(uint64_t h, int level) {
  // Its end: the next marker, the input's end, or too far for a block.
  while (markers_.size() < 2 && !input_ended_ && total_bytes() - h / 8 < MAX_BLOCK_BYTES) read_more();
  fill();
  if (jobs_.empty() || jobs_.front()->start != h || jobs_.front()->level != level) return {step_kind::needs_redo};
  job_ptr job = jobs_.front();
  jobs_.pop_front();
  return drain(job);
}

step block_engine::drain(const job_ptr& job) {
  if (pool_.threads.empty() || pool_.take(job)) {
    const block_result r = decode_block(*job, [&](const char* data, unsigned n) {
      write(data, n);
      return true;
    });
    job->result = r.result;
    job->error = r.error;
  } else {
    for (;;) {
      std::vector<char> piece;
      {
        std::unique_lock<std::mutex> lock(pool_.m);
        pool_.progress_cv.wait(lock, [&] { return !job->out.empty() || job->result != outcome::running; });
        if (job->out.empty()) break;
        piece.swap(job->out.front());
        job->out.pop_front();
        job->out_bytes -= piece.size();
      }
      pool_.progress_cv.notify_all();
      write(piece.data(), piece.size());
    }
  }
  switch (job->result) {
    case outcome::complete:
      return {step_kind::complete, job->end};
    case outcome::incomplete:
      return {step_kind::needs_redo};
    case outcome::init_failed:
      fatal_init(job->error);
    default:
      break;
  }
  std::fprintf(stderr, "bzDecompress: failed, ret=%d\n", job->error);
  return {step_kind::failed};
}

// Decompresses from `start` on the calling thread, feeding the record's
// bytes up to one marker after another until the block there is finished.
// The decoder never gets bytes beyond a marker it has not been checked at.
step block_engine::redo(uint64_t start, int level) {
  decoder d;
  if (d.init_error != BZ_OK) fatal_init(d.init_error);
  auto emit = [&](const char* data, unsigned n) {
    write(data, n);
    return true;
  };
  if (!ensure_bytes(start / 8 + 1)) return {step_kind::cut_short};
  int ret = d.begin(level, start, *at(start / 8), emit);
  uint64_t fed = (start + 7) / 8;  // bytes before this are with the decoder
  while (ret == BZ_OK) {
    const bool have_marker = !markers_.empty();
    uint64_t target = fed;
    if (have_marker)
      target = (markers_.front().bit + 7) / 8;
    else if (input_ended_)
      target = total_bytes();
    else
      target = std::max(fed, scanned_to_);
    if (target > fed) {
      ret = d.feed(at(fed), static_cast<size_t>(target - fed), emit);
      fed = target;
      if (ret != BZ_OK) break;
    }
    if (have_marker) {
      const uint64_t c = markers_.front().bit;
      if (d.produced_output()) return {step_kind::complete, c};
      trim(c + 1);  // the block goes on past this marker
    } else if (input_ended_) {
      return {step_kind::cut_short};
    } else {
      trim(fed * 8 - 8);
      read_more();
    }
  }
  if (ret == BZ_STREAM_END) return {step_kind::cut_short};
  std::fprintf(stderr, "bzDecompress: failed, ret=%d\n", ret);
  return {step_kind::failed};
}

int block_engine::run() {
  // Input that does not begin with a stream goes the sequential way, which
  // reports it as the decompressor does.
  ensure_bytes(BZ2_HEADER_BYTES);
  if (total_bytes() == 0) return 0;
  if (total_bytes() < BZ2_HEADER_BYTES || !bz2_is_stream_header(at(0)))
    return bzunzip_sequential(ctx_, raw_.data(), raw_.size());
  uint64_t q = 0;  // byte where the current stream starts
  for (;;) {
    if (!ensure_bytes(q + BZ2_HEADER_BYTES) || !bz2_is_stream_header(at(q))) return 0;
    const int level = at(q)[3] - '0';
    if (q == 0) dispatch_level_ = level;
    uint32_t combined = 0;
    uint64_t h = q * 8 + BZ2_HEADER_BYTES * 8;
    for (;;) {
      trim(h);
      fill();
      bz2_marker m{};
      const bool found = marker_at(h, m);
      if (found && m.is_end) {
        if (!ensure_bytes((h + STREAM_END_BITS + 7) / 8)) return 1;
        if (bz2_bits_at(at(raw_base_), h + BZ2_MARKER_BITS - raw_base_ * 8, BZ2_CRC_BITS) != combined) {
          std::fprintf(stderr, "bzDecompress: failed, ret=%d\n", BZ_DATA_ERROR);
          return 1;
        }
        q = (h + STREAM_END_BITS + 7) / 8;
        break;
      }
      uint32_t block_crc = 0;
      if (ensure_bytes((h + BZ2_MARKER_BITS + BZ2_CRC_BITS + 7) / 8))
        block_crc = static_cast<uint32_t>(bz2_bits_at(at(raw_base_), h + BZ2_MARKER_BITS - raw_base_ * 8, BZ2_CRC_BITS));
      step s = found ? head_block(h, level) : step{step_kind::needs_redo};
      if (s.kind == step_kind::needs_redo) {
        // Drop the job of this block, whatever became of it.
        trim(h + 1);
        s = redo(h, level);
      }
      if (s.kind != step_kind::complete) return 1;
      combined = bz2_fold_crc(combined, block_crc);
      h = s.end;
    }
  }
}

}  // namespace

int bzunzip_blocks(const bz_context& ctx, unsigned threads) {
  block_engine engine(ctx, threads);
  return engine.run();
}

unsigned bzunzip_thread_count() {
  const char* setting = std::getenv("VNINSTALL_THREADS");
  if (setting != nullptr && *setting != '\0') {
    char* end = nullptr;
    const long n = std::strtol(setting, &end, 10);
    if (*end == '\0' && n >= 1) return static_cast<unsigned>(std::min<long>(n, MAX_THREADS));
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 1 ? static_cast<unsigned>(std::min<long>(online, MAX_THREADS)) : 1u;
}

int bzunzip(intptr_t caller_value, bz_reader reader, bz_writer writer) {
  const bz_context ctx{caller_value, reader, writer};
  const unsigned threads = bzunzip_thread_count();
  return threads > 1 ? bzunzip_blocks(ctx, threads) : bzunzip_sequential(ctx, nullptr, 0);
}
