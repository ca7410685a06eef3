// bzunzip on several threads. The calling thread reads the record, finds
// the block markers, and hands each block (from its marker to the next) to
// the pool's threads, which decompress it with libbz2 as a stream of its
// own (block_decoder.h). The calling thread writes the blocks' output in
// order, checks the combined CRC at each end marker and makes every
// callback and message.
//
// A decoder that has not finished its block at the next marker was cut at
// a marker pattern inside compressed data (or at a damaged block). The
// block is then decompressed again on the calling thread, fed the record's
// bytes marker by marker until it finishes, fails or the input ends, and
// the blocks cut out of it are dropped. The same happens to the last block
// of a record that ends without an end marker.
#include <bzlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "block_buffers.h"
#include "block_decoder.h"
#include "block_jobs.h"
#include "bz2_blocks.h"
#include "installer.h"

const uint64_t* bzunzip_false_markers = nullptr;
size_t bzunzip_false_marker_count = 0;

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;
constexpr size_t WRITER_PIECE = 4096;
// Dead input bytes at the front of the read buffer that make it move down.
constexpr size_t TRIM_BYTES = 128 * 1024;
// Blocks read ahead beyond one per thread.
constexpr unsigned EXTRA_BLOCKS = 1;
constexpr unsigned MAX_THREADS = 64;
// More than any block holds compressed (900k symbols of at most 20 bits,
// plus tables): a longer stretch without a marker is not a block.
constexpr uint64_t MAX_BLOCK_BYTES = 3 * 1024 * 1024;
constexpr uint64_t STREAM_END_BITS = BZ2_MARKER_BITS + BZ2_CRC_BITS;

// The byte where a stream that follows the end marker at end_bit starts.
uint64_t next_stream_byte(uint64_t end_bit) { return (end_bit + STREAM_END_BITS + 7) / 8; }

enum class step_kind { complete, cut_short, failed, needs_redo };
struct step {
  step_kind kind;
  uint64_t end;  // complete: the bit where the next marker starts
};

class block_engine {
 public:
  block_engine(const bz_context& ctx, unsigned threads);
  ~block_engine();
  block_engine(const block_engine&) = delete;
  block_engine& operator=(const block_engine&) = delete;

  int run();

 private:
  uint64_t total_bytes() const { return raw_base_ + raw_.size; }
  const unsigned char* at(uint64_t byte) const { return raw_.data + (byte - raw_base_); }
  block_job& job(size_t i) { return jobs_.jobs[(first_job_ + i) % jobs_.slots]; }
  bool read_more();
  bool ensure_bytes(uint64_t end_byte);
  void scan();
  void trim(uint64_t keep_bit);
  void drop_first_job();
  void fill();
  void dispatch();
  // The writer gets pieces of at most the sequential path's output buffer,
  // so that writers that fail part-way (a full disk) behave the same.
  static bool write(void* engine, const char* data, unsigned n) {
    bz_context& ctx = static_cast<block_engine*>(engine)->ctx_;
    for (size_t done = 0; done < n; done += WRITER_PIECE) {
      const size_t piece = n - done < WRITER_PIECE ? n - done : WRITER_PIECE;
      ctx.writer(&ctx, data + done, static_cast<int>(piece));
    }
    return true;
  }
  step head_block(uint64_t h, int level);
  step drain(block_job& job);
  step redo(uint64_t h, int level);
  bool marker_at(uint64_t bit, bz2_marker& m);
  bool ends_the_input(const bz2_marker& m) const;
  [[noreturn]] static void fatal_init(int error);

  bz_context ctx_;
  unsigned threads_;

  byte_buffer raw_{};  // input bytes from raw_base_ on
  uint64_t raw_base_ = 0;
  uint64_t scanned_to_ = 0;  // marker starts before this byte are known
  bool input_ended_ = false;

  marker_list markers_{};  // from the head on
  size_t dispatched_ = 0;  // markers_ whose blocks are dispatched
  int dispatch_level_ = 9;
  uint64_t next_stream_block_ = UINT64_MAX;  // first block of the stream after an end marker
  int next_stream_level_ = 9;

  job_table jobs_{};
  block_space space_{};  // of the blocks decompressed on this thread
  size_t first_job_ = 0;  // slot of the first dispatched job
  size_t job_count_ = 0;
  uint64_t next_seq_ = 0;
  bool pool_tried_ = false;
};

block_engine::block_engine(const bz_context& ctx, unsigned threads)
    : ctx_(ctx), threads_(threads < MAX_THREADS ? threads : MAX_THREADS) {
  jobs_init(jobs_, threads_ + EXTRA_BLOCKS);
}

block_engine::~block_engine() {
  jobs_destroy(jobs_);
  std::free(markers_.items);
  buffer_free(raw_);
  block_space_release(space_);
}

bool block_engine::read_more() {
  if (input_ended_) return false;
  buffer_reserve(raw_, raw_.size + READ_CHUNK);
  const int n = ctx_.reader(&ctx_, reinterpret_cast<char*>(raw_.data + raw_.size), static_cast<int>(READ_CHUNK));
  if (n > 0) {
    raw_.size += static_cast<size_t>(n);
  } else {
    input_ended_ = true;
  }
  scan();
  return n > 0;
}

bool block_engine::ensure_bytes(uint64_t end_byte) {
  while (total_bytes() < end_byte)
    if (!read_more()) return false;
  return true;
}

void block_engine::scan() {
  const uint64_t first_bit = scanned_to_ * 8;
  const uint64_t total = total_bytes();
  if (total >= BZ2_MARKER_SPAN && scanned_to_ + BZ2_MARKER_SPAN <= total) {
    const uint64_t to = total - (BZ2_MARKER_SPAN - 1);
    markers_scan(markers_, at(scanned_to_), static_cast<size_t>(to - scanned_to_), scanned_to_);
    scanned_to_ = to;
  }
  if (input_ended_ && scanned_to_ < total) {
    markers_scan_tail(markers_, at(scanned_to_), static_cast<size_t>(total - scanned_to_), scanned_to_, total);
    scanned_to_ = total;
  }
  // Markers a test claims lie inside compressed data.
  for (size_t i = 0; i < bzunzip_false_marker_count; ++i)
    if (bzunzip_false_markers[i] >= first_bit && bzunzip_false_markers[i] < scanned_to_ * 8)
      markers_push(markers_, {bzunzip_false_markers[i], false});
}

void block_engine::drop_first_job() {
  jobs_cancel(jobs_, job(0));
  first_job_ = (first_job_ + 1) % jobs_.slots;
  --job_count_;
}

// Everything before keep_bit is done with: its markers, jobs and bytes.
void block_engine::trim(uint64_t keep_bit) {
  while (markers_size(markers_) > 0 && marker(markers_, 0).bit < keep_bit) {
    ++markers_.begin;
    if (dispatched_ > 0) --dispatched_;
  }
  while (job_count_ > 0 && job(0).start < keep_bit) drop_first_job();
  const uint64_t keep_byte = keep_bit / 8 < scanned_to_ ? keep_bit / 8 : scanned_to_;
  const uint64_t dead = keep_byte > raw_base_ ? keep_byte - raw_base_ : 0;
  // Moving the live bytes down once a quarter of the buffer is dead keeps
  // the buffer near the live size, at the cost of copying each byte a few
  // times (far cheaper than decompressing it).
  if (dead >= TRIM_BYTES && dead >= raw_.size / 4) {
    std::memmove(raw_.data, raw_.data + dead, raw_.size - dead);
    raw_.size -= dead;
    raw_base_ += dead;
  }
}

void block_engine::dispatch() {
  while (job_count_ < jobs_.slots && dispatched_ + 1 < markers_size(markers_)) {
    const bz2_marker m = marker(markers_, dispatched_++);
    if (m.is_end) {
      // A stream that follows starts its first block with its own level.
      const uint64_t q = next_stream_byte(m.bit);
      if (q + BZ2_HEADER_BYTES <= total_bytes() && bz2_is_stream_header(at(q))) {
        next_stream_block_ = q * 8 + BZ2_HEADER_BYTES * 8;
        next_stream_level_ = at(q)[3] - '0';
      }
      continue;
    }
    if (m.bit == next_stream_block_) dispatch_level_ = next_stream_level_;
    block_job& j = job(job_count_);
    jobs_claim_slot(jobs_, j);
    j.seq = next_seq_++;
    j.start = m.bit;
    j.end = marker(markers_, dispatched_).bit;
    j.level = dispatch_level_;
    buffer_assign(j.raw, at(m.bit / 8), static_cast<size_t>((j.end + 7) / 8 - m.bit / 8));
    j.result = outcome::running;
    j.cancelled = false;
    ++job_count_;
    if (!pool_tried_ && job_count_ >= 2) {
      // A second block: now threads pay off.
      pool_tried_ = true;
      jobs_start_workers(jobs_, threads_);
    }
    jobs_submit(jobs_, j);
  }
}

// An end marker behind which no stream starts: nothing after it is read
// as bzip2 (the one-thread path stops there too).
bool block_engine::ends_the_input(const bz2_marker& m) const {
  const uint64_t q = next_stream_byte(m.bit);
  return m.is_end && q + BZ2_HEADER_BYTES <= total_bytes() && !bz2_is_stream_header(at(q));
}

// Reads ahead until enough blocks are dispatched, without holding more
// than a block's worth of input that is not yet dispatched, and not past
// the end of the last stream.
void block_engine::fill() {
  for (;;) {
    dispatch();
    if (job_count_ >= jobs_.slots || input_ended_) return;
    const bool pending = dispatched_ < markers_size(markers_);
    if (pending && ends_the_input(marker(markers_, dispatched_))) return;
    const uint64_t frontier = pending ? marker(markers_, dispatched_).bit / 8 : scanned_to_;
    if (frontier < total_bytes() && total_bytes() - frontier > MAX_BLOCK_BYTES) return;
    read_more();
  }
}

bool block_engine::marker_at(uint64_t bit, bz2_marker& m) {
  while (scanned_to_ <= bit / 8 && read_more()) {
  }
  if (markers_size(markers_) == 0 || marker(markers_, 0).bit != bit) return false;
  m = marker(markers_, 0);
  return true;
}

void block_engine::fatal_init(int error) {
  report_bz2_fatal("bzDecompressInit", error);
}

// The block at the head: its job's output goes to the writer.
step block_engine::head_block(uint64_t h, int level) {
  // Its end: the next marker, the input's end, or too far for a block.
  while (markers_size(markers_) < 2 && !input_ended_ && total_bytes() - h / 8 < MAX_BLOCK_BYTES) read_more();
  fill();
  if (job_count_ == 0 || job(0).start != h || job(0).level != level) return {step_kind::needs_redo, 0};
  const step s = drain(job(0));
  drop_first_job();
  return s;
}

step block_engine::drain(block_job& j) {
  const block_result r = jobs_drain(jobs_, j, space_, write, this);
  switch (r.result) {
    case outcome::complete:
      return {step_kind::complete, j.end};
    case outcome::incomplete:
      return {step_kind::needs_redo, 0};
    case outcome::init_failed:
      fatal_init(r.error);
    default:
      break;
  }
  report_bz2_failure("bzDecompress", r.error);
  return {step_kind::failed, 0};
}

// Decompresses from `start` on the calling thread, feeding the record's
// bytes up to one marker after another until the block there is finished.
// The decoder never gets bytes beyond a marker it has not been checked at.
step block_engine::redo(uint64_t start, int level) {
  decoder d;
  if (!decoder_start(d, space_.lib)) fatal_init(d.init_error);
  const decoder_owner owner{d};
  if (!ensure_bytes(start / 8 + 1)) return {step_kind::cut_short, 0};
  int ret = decoder_begin(d, level, start, *at(start / 8), write, this);
  uint64_t fed = (start + 7) / 8;  // bytes before this are with the decoder
  while (ret == BZ_OK) {
    const bool have_marker = markers_size(markers_) > 0;
    uint64_t target = fed;
    if (have_marker)
      target = (marker(markers_, 0).bit + 7) / 8;
    else if (input_ended_)
      target = total_bytes();
    else
      target = fed > scanned_to_ ? fed : scanned_to_;
    if (target > fed) {
      ret = decoder_feed(d, at(fed), static_cast<size_t>(target - fed), write, this);
      fed = target;
      if (ret != BZ_OK) break;
    }
    if (have_marker) {
      const uint64_t c = marker(markers_, 0).bit;
      if (decoder_produced(d)) return {step_kind::complete, c};
      trim(c + 1);  // the block goes on past this marker
    } else if (input_ended_) {
      return {step_kind::cut_short, 0};
    } else {
      trim(fed * 8 - 8);
      read_more();
    }
  }
  if (ret == BZ_STREAM_END) return {step_kind::cut_short, 0};
  report_bz2_failure("bzDecompress", ret);
  return {step_kind::failed, 0};
}

int block_engine::run() {
  // Input that does not begin with a stream goes the sequential way, which
  // reports it as the decompressor does.
  ensure_bytes(BZ2_HEADER_BYTES);
  if (total_bytes() == 0) return 0;
  if (total_bytes() < BZ2_HEADER_BYTES || !bz2_is_stream_header(at(0)))
    return bzunzip_sequential(ctx_, raw_.data, raw_.size);
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
        if (!ensure_bytes(next_stream_byte(h))) return 1;
        if (bz2_bits_at(at(raw_base_), h + BZ2_MARKER_BITS - raw_base_ * 8, BZ2_CRC_BITS) != combined) {
          report_bz2_failure("bzDecompress", BZ_DATA_ERROR);
          return 1;
        }
        q = next_stream_byte(h);
        break;
      }
      uint32_t block_crc = 0;
      if (ensure_bytes((h + BZ2_MARKER_BITS + BZ2_CRC_BITS + 7) / 8))
        block_crc = static_cast<uint32_t>(bz2_bits_at(at(raw_base_), h + BZ2_MARKER_BITS - raw_base_ * 8, BZ2_CRC_BITS));
      step s = found ? head_block(h, level) : step{step_kind::needs_redo, 0};
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
    if (*end == '\0' && n >= 1) return n < long{MAX_THREADS} ? static_cast<unsigned>(n) : MAX_THREADS;
  }
  const long usable = usable_processors();
  if (usable <= 1) return 1;
  return usable < long{MAX_THREADS} ? static_cast<unsigned>(usable) : MAX_THREADS;
}

int bzunzip(intptr_t caller_value, bz_reader reader, bz_writer writer) {
  const bz_context ctx{caller_value, reader, writer};
  const unsigned threads = bzunzip_thread_count();
  return threads > 1 ? bzunzip_blocks(ctx, threads) : bzunzip_sequential(ctx, nullptr, 0);
}
