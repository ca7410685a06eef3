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
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "bz2_blocks.h"
#include "installer.h"

bool bzunzip_refuse_threads = false;
const uint64_t* bzunzip_false_markers = nullptr;
size_t bzunzip_false_marker_count = 0;

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;
constexpr unsigned OUTPUT_CHUNK = 64 * 1024;
constexpr size_t WRITER_PIECE = 4096;
// Decompressed bytes one block may hold while it waits for its turn.
constexpr size_t OUTPUT_AHEAD_LIMIT = 2 * 1024 * 1024;
// Dead input bytes at the front of the read buffer that make it move down.
constexpr size_t TRIM_BYTES = 1024 * 1024;
// Blocks read ahead beyond one per thread.
constexpr unsigned EXTRA_BLOCKS = 2;
constexpr unsigned MAX_THREADS = 64;
// More than any block holds compressed (900k symbols of at most 20 bits,
// plus tables): a longer stretch without a marker is not a block.
constexpr uint64_t MAX_BLOCK_BYTES = 3 * 1024 * 1024;
constexpr uint64_t STREAM_END_BITS = BZ2_MARKER_BITS + BZ2_CRC_BITS;
constexpr int FED_ALL = 1;  // decoder_feed stopped because emit said so

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

// The installer stays free of the C++ runtime's allocation and exceptions:
// memory comes from malloc, threads from pthreads. Running out of memory
// ends the process, as a decompressor that cannot start does.
[[noreturn]] void out_of_memory() {
  report_bz2_failure("bzDecompress", BZ_MEM_ERROR);
  std::exit(1);
}

void* grow(void* block, size_t size) {
  void* p = std::realloc(block, size);
  if (p == nullptr) out_of_memory();
  return p;
}

// A growable run of bytes.
struct byte_buffer {
  unsigned char* data;
  size_t size;
  size_t capacity;
};

void buffer_reserve(byte_buffer& b, size_t n) {
  if (n <= b.capacity) return;
  size_t c = b.capacity > 0 ? b.capacity : READ_CHUNK;
  while (c < n) c *= 2;
  b.data = static_cast<unsigned char*>(grow(b.data, c));
  b.capacity = c;
}

void buffer_assign(byte_buffer& b, const unsigned char* p, size_t n) {
  b.size = 0;
  buffer_reserve(b, n);
  std::memcpy(b.data, p, n);
  b.size = n;
}

void buffer_free(byte_buffer& b) {
  std::free(b.data);
  b = {};
}

// Markers from the head on, in input order.
struct marker_list {
  bz2_marker* items;
  size_t begin;
  size_t end;
  size_t capacity;
};

size_t markers_size(const marker_list& l) { return l.end - l.begin; }
const bz2_marker& marker(const marker_list& l, size_t i) { return l.items[l.begin + i]; }

void markers_push(marker_list& l, bz2_marker m) {
  if (l.end == l.capacity) {
    if (l.begin > 0) {
      std::memmove(l.items, l.items + l.begin, (l.end - l.begin) * sizeof *l.items);
      l.end -= l.begin;
      l.begin = 0;
    }
    if (l.end == l.capacity) {
      l.capacity = l.capacity > 0 ? l.capacity * 2 : 64;
      l.items = static_cast<bz2_marker*>(grow(l.items, l.capacity * sizeof *l.items));
    }
  }
  // Markers come in order; a test's extra ones are put in their place.
  size_t i = l.end++;
  for (; i > l.begin && l.items[i - 1].bit > m.bit; --i) l.items[i] = l.items[i - 1];
  l.items[i] = m;
}

// Where bz2_find_markers puts what it finds: bits counted from `base`.
struct marker_sink {
  marker_list* list;
  uint64_t base;
};

void push_found(void* sink, bz2_marker m) {
  auto& to = *static_cast<marker_sink*>(sink);
  markers_push(*to.list, {m.bit + to.base, m.is_end});
}

enum class outcome { running, complete, incomplete, failed, init_failed };
enum class job_state { free, pending, running, done };

// A piece of decompressed output waiting for the writer.
struct out_piece {
  out_piece* next;
  unsigned size;
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

struct block_job {
  uint64_t seq;    // dispatch order
  uint64_t start;  // bit of its block marker
  uint64_t end;    // bit of the next marker
  int level;
  byte_buffer raw;  // input bytes from start / 8 to the byte of end
  // The rest is guarded by the pool's mutex.
  job_state state;
  out_piece* out_head;
  out_piece* out_tail;
  size_t out_bytes;
  outcome result;
  int error;
  bool cancelled;
};

// libbz2 fed the record's bytes from a block's marker on.
struct decoder {
  bz_stream strm;
  int init_error;
  char* buf;
  uint64_t skip;  // output of the alignment block
};

bool decoder_start(decoder& d, bz2_work_space& space) {
  std::memset(&d, 0, sizeof d);
  d.strm.bzalloc = bz2_work_space_alloc;
  d.strm.bzfree = bz2_work_space_free;
  d.strm.opaque = &space;
  d.init_error = BZ2_bzDecompressInit(&d.strm, 0, 0);
  if (d.init_error != BZ_OK) return false;
  d.buf = static_cast<char*>(grow(nullptr, OUTPUT_CHUNK));
  return true;
}

void decoder_end(decoder& d) {
  if (d.init_error == BZ_OK) BZ2_bzDecompressEnd(&d.strm);
  std::free(d.buf);
}

// Ends a decoder when the function that started it returns.
struct decoder_owner {
  decoder& d;
  ~decoder_owner() { decoder_end(d); }
};

uint64_t total_out(const bz_stream& s) { return (static_cast<uint64_t>(s.total_out_hi32) << 32) | s.total_out_lo32; }

// True once the block that begins at the start bit has given output.
bool decoder_produced(const decoder& d) { return total_out(d.strm) > d.skip; }

// Decompresses n more bytes, handing each piece of output to emit (which
// returns false to stop early). Returns BZ_OK once all input is taken and
// the decoder wants more, BZ_STREAM_END, FED_ALL, or libbz2's error.
template <class Emit>
int decoder_feed(decoder& d, const unsigned char* p, size_t n, Emit&& emit) {
  d.strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(p));
  d.strm.avail_in = static_cast<unsigned>(n);
  for (;;) {
    d.strm.next_out = d.buf;
    d.strm.avail_out = OUTPUT_CHUNK;
    const uint64_t before = total_out(d.strm);
    const int ret = BZ2_bzDecompress(&d.strm);
    unsigned produced = OUTPUT_CHUNK - d.strm.avail_out;
    const unsigned dropped = before >= d.skip ? 0 : static_cast<unsigned>(d.skip - before < produced ? d.skip - before : produced);
    produced -= dropped;
    if (produced > 0 && !emit(d.buf + dropped, produced)) return FED_ALL;
    if (ret != BZ_OK) return ret;
    if (d.strm.avail_in == 0 && d.strm.avail_out > 0) return BZ_OK;
  }
}

// A stream header, the alignment block and the bits of first_byte from
// bit start % 8 on; the record's bytes after that follow unchanged.
template <class Emit>
int decoder_begin(decoder& d, int level, uint64_t start, unsigned char first_byte, Emit&& emit) {
  const alignment_block& a = ALIGNMENT_BLOCKS[start % 8];
  unsigned char prefix[BZ2_HEADER_BYTES + sizeof a.data + 2] = {'B', 'Z', 'h', static_cast<unsigned char>('0' + level)};
  bz2_bit_writer w;
  w.out = prefix;
  w.length = BZ2_HEADER_BYTES;
  w.put_bits(a.data, 0, a.bits);
  const int rest = static_cast<int>((8 - start % 8) % 8);
  if (rest > 0) w.put(first_byte, rest);
  d.skip = a.output;
  return decoder_feed(d, prefix, w.length, emit);
}

struct block_result {
  outcome result;
  int error;
};

// Decompresses one block job, then lets go of its input.
template <class Emit>
block_result decode_block(block_job& job, bz2_work_space& space, Emit&& emit) {
  decoder d;
  block_result r{outcome::init_failed, 0};
  if (decoder_start(d, space)) {
    int ret = decoder_begin(d, job.level, job.start, job.raw.data[0], emit);
    const size_t from = job.start % 8 == 0 ? 0 : 1;
    if (ret == BZ_OK) ret = decoder_feed(d, job.raw.data + from, job.raw.size - from, emit);
    if (ret == FED_ALL) r = {outcome::incomplete, ret};
    else if (ret == BZ_OK || ret == BZ_STREAM_END) r = {decoder_produced(d) ? outcome::complete : outcome::incomplete, ret};
    else r = {outcome::failed, ret};
  } else {
    r.error = d.init_error;
  }
  decoder_end(d);
  buffer_free(job.raw);
  return r;
}

// Worker threads taking pending jobs in dispatch order.
struct worker_pool {
  pthread_mutex_t m;
  pthread_cond_t work_cv;
  pthread_cond_t progress_cv;  // output, results, room for output
  bool stopping;
  pthread_t threads[MAX_THREADS];
  unsigned count;
  block_job* jobs;
  size_t job_slots;
};

struct lock_guard {
  explicit lock_guard(pthread_mutex_t& mutex) : m(mutex) { pthread_mutex_lock(&m); }
  ~lock_guard() { pthread_mutex_unlock(&m); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;
  pthread_mutex_t& m;
};

// The pending job dispatched first; null when there is none. Locked.
block_job* next_pending(worker_pool& p) {
  block_job* best = nullptr;
  for (size_t i = 0; i < p.job_slots; ++i)
    if (p.jobs[i].state == job_state::pending && (best == nullptr || p.jobs[i].seq < best->seq)) best = &p.jobs[i];
  return best;
}

// Queues one piece of a job's output, waiting while it holds too much.
bool queue_output(worker_pool& p, block_job& job, const char* data, unsigned n) {
  auto* piece = static_cast<out_piece*>(grow(nullptr, sizeof(out_piece) + n));
  piece->next = nullptr;
  piece->size = n;
  std::memcpy(piece->data(), data, n);
  lock_guard lock(p.m);
  while (!job.cancelled && !p.stopping && job.out_bytes >= OUTPUT_AHEAD_LIMIT) pthread_cond_wait(&p.progress_cv, &p.m);
  if (job.cancelled || p.stopping) {
    std::free(piece);
    return false;
  }
  if (job.out_tail != nullptr) job.out_tail->next = piece;
  else job.out_head = piece;
  job.out_tail = piece;
  job.out_bytes += n;
  pthread_cond_broadcast(&p.progress_cv);
  return true;
}

void* worker_main(void* arg) {
  worker_pool& p = *static_cast<worker_pool*>(arg);
  bz2_work_space space{};
  pthread_mutex_lock(&p.m);
  for (;;) {
    block_job* job;
    while (!p.stopping && (job = next_pending(p)) == nullptr) pthread_cond_wait(&p.work_cv, &p.m);
    if (p.stopping) break;
    job->state = job_state::running;
    pthread_mutex_unlock(&p.m);
    const block_result r =
        decode_block(*job, space, [&](const char* data, unsigned n) { return queue_output(p, *job, data, n); });
    pthread_mutex_lock(&p.m);
    job->result = r.result;
    job->error = r.error;
    job->state = job_state::done;
    pthread_cond_broadcast(&p.progress_cv);
  }
  pthread_mutex_unlock(&p.m);
  bz2_work_space_release(space);
  return nullptr;
}

bool pool_start(worker_pool& p, unsigned n) {
  if (bzunzip_refuse_threads) return false;
  while (p.count < n && pthread_create(&p.threads[p.count], nullptr, worker_main, &p) == 0) ++p.count;
  return p.count > 0;
}

void pool_stop(worker_pool& p) {
  pthread_mutex_lock(&p.m);
  p.stopping = true;
  pthread_cond_broadcast(&p.work_cv);
  pthread_cond_broadcast(&p.progress_cv);
  pthread_mutex_unlock(&p.m);
  for (unsigned i = 0; i < p.count; ++i) pthread_join(p.threads[i], nullptr);
  p.count = 0;
}

void free_output(block_job& job) {
  while (job.out_head != nullptr) {
    out_piece* next = job.out_head->next;
    std::free(job.out_head);
    job.out_head = next;
  }
  job.out_tail = nullptr;
  job.out_bytes = 0;
}

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
  block_job& job(size_t i) { return pool_.jobs[(first_job_ + i) % pool_.job_slots]; }
  bool read_more();
  bool ensure_bytes(uint64_t end_byte);
  void scan();
  void trim(uint64_t keep_bit);
  void drop_first_job();
  void fill();
  void dispatch();
  // The writer gets pieces of at most the sequential path's output buffer,
  // so that writers that fail part-way (a full disk) behave the same.
  void write(const char* data, size_t n) {
    for (size_t done = 0; done < n; done += WRITER_PIECE) {
      const size_t piece = n - done < WRITER_PIECE ? n - done : WRITER_PIECE;
      ctx_.writer(&ctx_, data + done, static_cast<int>(piece));
    }
  }
  step head_block(uint64_t h, int level);
  step drain(block_job& job);
  step redo(uint64_t h, int level);
  bool marker_at(uint64_t bit, bz2_marker& m);
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

  worker_pool pool_{};
  bz2_work_space space_{};  // of the blocks decompressed on this thread
  size_t first_job_ = 0;  // slot of the first dispatched job
  size_t job_count_ = 0;
  uint64_t next_seq_ = 0;
  bool pool_tried_ = false;
};

block_engine::block_engine(const bz_context& ctx, unsigned threads)
    : ctx_(ctx), threads_(threads < MAX_THREADS ? threads : MAX_THREADS) {
  pthread_mutex_init(&pool_.m, nullptr);
  pthread_cond_init(&pool_.work_cv, nullptr);
  pthread_cond_init(&pool_.progress_cv, nullptr);
  pool_.job_slots = threads_ + EXTRA_BLOCKS;
  pool_.jobs = static_cast<block_job*>(std::calloc(pool_.job_slots, sizeof(block_job)));
  if (pool_.jobs == nullptr) out_of_memory();
}

block_engine::~block_engine() {
  pool_stop(pool_);
  for (size_t i = 0; i < pool_.job_slots; ++i) {
    free_output(pool_.jobs[i]);
    buffer_free(pool_.jobs[i].raw);
  }
  std::free(pool_.jobs);
  pthread_cond_destroy(&pool_.progress_cv);
  pthread_cond_destroy(&pool_.work_cv);
  pthread_mutex_destroy(&pool_.m);
  std::free(markers_.items);
  buffer_free(raw_);
  bz2_work_space_release(space_);
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
    marker_sink sink{&markers_, scanned_to_ * 8};
    bz2_find_markers(at(scanned_to_), 0, static_cast<size_t>(to - scanned_to_), push_found, &sink);
    scanned_to_ = to;
  }
  if (input_ended_ && scanned_to_ < total) {
    // The last bytes, padded with zeros; a marker must end before them.
    const size_t n = static_cast<size_t>(total - scanned_to_);
    unsigned char tail[2 * BZ2_MARKER_SPAN] = {};
    std::memcpy(tail, at(scanned_to_), n);
    marker_list last{};
    marker_sink sink{&last, scanned_to_ * 8};
    bz2_find_markers(tail, 0, n, push_found, &sink);
    for (size_t i = 0; i < markers_size(last); ++i)
      if (marker(last, i).bit + BZ2_MARKER_BITS <= total * 8) markers_push(markers_, marker(last, i));
    std::free(last.items);
    scanned_to_ = total;
  }
  // Markers a test claims lie inside compressed data.
  for (size_t i = 0; i < bzunzip_false_marker_count; ++i)
    if (bzunzip_false_markers[i] >= first_bit && bzunzip_false_markers[i] < scanned_to_ * 8)
      markers_push(markers_, {bzunzip_false_markers[i], false});
}

void block_engine::drop_first_job() {
  block_job& j = job(0);
  {
    lock_guard lock(pool_.m);
    j.cancelled = true;
    if (j.state == job_state::pending) j.state = job_state::free;
    pthread_cond_broadcast(&pool_.progress_cv);
  }
  first_job_ = (first_job_ + 1) % pool_.job_slots;
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
  while (job_count_ < pool_.job_slots && dispatched_ + 1 < markers_size(markers_)) {
    const bz2_marker m = marker(markers_, dispatched_++);
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
    block_job& j = job(job_count_);
    {
      // A slot whose dropped job a worker still decodes is waited for.
      lock_guard lock(pool_.m);
      while (j.state == job_state::running) pthread_cond_wait(&pool_.progress_cv, &pool_.m);
      free_output(j);
    }
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
      pool_start(pool_, threads_);
    }
    lock_guard lock(pool_.m);
    j.state = job_state::pending;
    pthread_cond_signal(&pool_.work_cv);
  }
}

// Reads ahead until enough blocks are dispatched, without holding more
// than a block's worth of input that is not yet dispatched.
void block_engine::fill() {
  for (;;) {
    dispatch();
    if (job_count_ >= pool_.job_slots || input_ended_) return;
    const uint64_t frontier =
        dispatched_ < markers_size(markers_) ? marker(markers_, dispatched_).bit / 8 : scanned_to_;
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
  report_bz2_failure("bzDecompressInit", error);
  std::exit(1);
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
  bool mine = pool_.count == 0;
  if (!mine) {
    lock_guard lock(pool_.m);
    if (j.state == job_state::pending) {
      j.state = job_state::running;  // no worker has it: decode it here
      mine = true;
    }
  }
  if (mine) {
    const block_result r = decode_block(j, space_, [&](const char* data, unsigned n) {
      write(data, n);
      return true;
    });
    lock_guard lock(pool_.m);
    j.result = r.result;
    j.error = r.error;
    j.state = job_state::done;
  } else {
    for (;;) {
      out_piece* piece;
      {
        lock_guard lock(pool_.m);
        while (j.out_head == nullptr && j.state != job_state::done) pthread_cond_wait(&pool_.progress_cv, &pool_.m);
        piece = j.out_head;
        if (piece == nullptr) break;
        j.out_head = piece->next;
        if (j.out_head == nullptr) j.out_tail = nullptr;
        j.out_bytes -= piece->size;
        pthread_cond_broadcast(&pool_.progress_cv);
      }
      write(piece->data(), piece->size);
      std::free(piece);
    }
  }
  switch (j.result) {
    case outcome::complete:
      return {step_kind::complete, j.end};
    case outcome::incomplete:
      return {step_kind::needs_redo, 0};
    case outcome::init_failed:
      fatal_init(j.error);
    default:
      break;
  }
  report_bz2_failure("bzDecompress", j.error);
  return {step_kind::failed, 0};
}

// Decompresses from `start` on the calling thread, feeding the record's
// bytes up to one marker after another until the block there is finished.
// The decoder never gets bytes beyond a marker it has not been checked at.
step block_engine::redo(uint64_t start, int level) {
  decoder d;
  if (!decoder_start(d, space_)) fatal_init(d.init_error);
  const decoder_owner owner{d};
  auto emit = [&](const char* data, unsigned n) {
    write(data, n);
    return true;
  };
  if (!ensure_bytes(start / 8 + 1)) return {step_kind::cut_short, 0};
  int ret = decoder_begin(d, level, start, *at(start / 8), emit);
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
      ret = decoder_feed(d, at(fed), static_cast<size_t>(target - fed), emit);
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
        if (!ensure_bytes((h + STREAM_END_BITS + 7) / 8)) return 1;
        if (bz2_bits_at(at(raw_base_), h + BZ2_MARKER_BITS - raw_base_ * 8, BZ2_CRC_BITS) != combined) {
          report_bz2_failure("bzDecompress", BZ_DATA_ERROR);
          return 1;
        }
        q = (h + STREAM_END_BITS + 7) / 8;
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
