// zstd_frames.cpp - zstd records decoded frame by frame on the pool's
// threads. The calling thread reads the record, cuts it into frames, hands
// each to a slot of a small ring and writes the slots' content out in
// order; a thread decodes a frame whole into its slot. A frame the threads
// could not decode, and everything from the first input they do not take,
// goes to the one-thread decompressor, so that output, messages and results
// are those of one thread.
#include <pthread.h>
#include <zstd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "archive.h"
#include "work_pool.h"
#include "zstd_frames.h"

namespace {

constexpr unsigned MAX_FRAME_THREADS = 16;
// One slot being written out and one being decoded on each thread.
constexpr unsigned MAX_SLOTS = MAX_FRAME_THREADS + 1;
// The slots in use at first: one frame is written while the next is
// decoded. Only when the writer has to wait for a frame (decoding one
// takes longer than writing one) does the ring take one slot more, up to
// a frame for every thread: a tree of small files, whose writing is the
// slower, never holds more than two frames.
constexpr unsigned FIRST_RING = 2;
// The content is handed to the writer in pieces of one block of the
// format, as the one-thread path writes it.
constexpr size_t WRITE_PIECE = ZSTD_BLOCKSIZE_MAX;

enum class slot_state { free, pending, running, done };

struct frame_slot {
  byte_buffer input;    // the frame, from frame_start to size
  size_t frame_start;
  byte_buffer content;  // what it decodes to
  uint64_t offset;      // of the frame in the record
  uint64_t seq;
  slot_state state;
  bool sound;  // decoded to exactly the size its header states
};

struct frame_table {
  pthread_mutex_t m;
  pthread_cond_t cv;
  frame_slot slots[MAX_SLOTS];
  unsigned count;
  unsigned outstanding;  // tasks submitted and not finished
};

// The decompression context of a pool thread, kept while the thread lives.
// Without a key (none left) the threads decode nothing and the one-thread
// path does it all.
pthread_key_t dctx_key;
bool dctx_key_made = false;
pthread_once_t dctx_key_once = PTHREAD_ONCE_INIT;

void free_dctx(void* dctx) { ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(dctx)); }
void make_dctx_key() { dctx_key_made = pthread_key_create(&dctx_key, free_dctx) == 0; }

ZSTD_DCtx* thread_dctx() {
  pthread_once(&dctx_key_once, make_dctx_key);
  if (!dctx_key_made) return nullptr;
  auto* dctx = static_cast<ZSTD_DCtx*>(pthread_getspecific(dctx_key));
  if (dctx == nullptr) {
    dctx = ZSTD_createDCtx();
    if (dctx != nullptr && pthread_setspecific(dctx_key, dctx) != 0) {
      ZSTD_freeDCtx(dctx);
      dctx = nullptr;
    }
  }
  return dctx;
}

// Decodes a frame whole; false on any failure (the one-thread path then
// decodes it again and reports what it finds).
bool decode_frame(frame_slot& s) {
  ZSTD_DCtx* dctx = thread_dctx();
  if (dctx == nullptr) return false;
  const size_t n = ZSTD_decompressDCtx(dctx, s.content.data, s.content.size, s.input.data + s.frame_start,
                                       s.input.size - s.frame_start);
  return !ZSTD_isError(n) && n == s.content.size;
}

// Decodes the pending slot submitted first: the threads take the frames in
// order, whichever task runs.
void decode_task(void* arg) {
  frame_table& t = *static_cast<frame_table*>(arg);
  lock_guard lock(t.m);
  frame_slot* next = nullptr;
  for (unsigned i = 0; i < t.count; ++i)
    if (t.slots[i].state == slot_state::pending && (next == nullptr || t.slots[i].seq < next->seq)) next = &t.slots[i];
  if (next != nullptr) {
    next->state = slot_state::running;
    pthread_mutex_unlock(&t.m);
    const bool sound = decode_frame(*next);
    pthread_mutex_lock(&t.m);
    next->sound = sound;
    next->state = slot_state::done;
  }
  --t.outstanding;
  pthread_cond_broadcast(&t.cv);
}

class frame_engine {
 public:
  // Takes over the input read so far.
  frame_engine(const bz_context& ctx, unsigned workers, frame_input& read)
      : ctx_(ctx), workers_(workers), input_{&ctx_, read.buf, read.pos, read.ended, read.base} {
    read.buf = {};
    std::memset(&table_, 0, sizeof table_);
    pthread_mutex_init(&table_.m, nullptr);
    pthread_cond_init(&table_.cv, nullptr);
    table_.count = workers + 1;
  }
  frame_engine(const frame_engine&) = delete;
  frame_engine& operator=(const frame_engine&) = delete;
  ~frame_engine();

  int run(frame_found first);

 private:
  frame_slot& slot(uint64_t seq) { return table_.slots[slot_of_[seq % MAX_SLOTS]]; }
  void submit(const frame_found& f);
  void take_frame(frame_slot& s, size_t size);
  bool write_oldest();
  int finish_from(uint64_t seq);

  bz_context ctx_;
  unsigned workers_;
  frame_input input_;
  frame_table table_;
  uint64_t submitted_ = 0;  // frames handed to slots
  uint64_t written_ = 0;    // of them, written out
  // The slots in use, of table_.count; which slot holds each frame between
  // submitted and written, and which slots are taken. Only the calling
  // thread reads or changes these.
  unsigned ring_ = FIRST_RING;
  unsigned slot_of_[MAX_SLOTS] = {};
  bool taken_[MAX_SLOTS] = {};
};

frame_engine::~frame_engine() {
  {
    lock_guard lock(table_.m);
    while (table_.outstanding > 0) pthread_cond_wait(&table_.cv, &table_.m);
  }
  work_pool_leave(workers_);
  for (unsigned i = 0; i < table_.count; ++i) {
    buffer_free(table_.slots[i].input);
    buffer_free(table_.slots[i].content);
  }
  buffer_free(input_.buf);
  pthread_cond_destroy(&table_.cv);
  pthread_mutex_destroy(&table_.m);
}

// The frame of `size` bytes at pos goes to the slot. A frame of more than
// a read (one that hardly compresses) is not copied: the slot takes the
// read buffer, and the less than a read behind the frame moves to the
// slot's old buffer, which reads go on into. The calling thread writes
// every frame out, and copying large frames as well would slow it down.
// Smaller frames are copied, so that the slots' buffers stay their size.
void frame_engine::take_frame(frame_slot& s, size_t size) {
  const size_t frame_end = input_.pos + size;
  const size_t behind = input_.buf.size - frame_end;
  s.offset = input_.base + input_.pos;
  if (size <= FRAME_READ_CHUNK || behind >= size) {
    s.input.size = 0;
    frame_bytes_append(s.input, input_.buf.data + input_.pos, size);
    s.frame_start = 0;
    input_.pos = frame_end;
    return;
  }
  std::swap(s.input, input_.buf);
  input_.buf.size = 0;
  frame_bytes_append(input_.buf, s.input.data + frame_end, behind);
  s.input.size = frame_end;
  s.frame_start = input_.pos;
  input_.base += frame_end;
  input_.pos = 0;
}

void frame_engine::submit(const frame_found& f) {
  unsigned i = 0;
  while (taken_[i]) ++i;  // fewer than ring_ are taken
  taken_[i] = true;
  slot_of_[submitted_ % MAX_SLOTS] = i;
  frame_slot& s = table_.slots[i];
  take_frame(s, f.size);
  // Room for at least a byte, so that an empty frame has a buffer too.
  frame_slot_reserve(s.content, f.content > 0 ? f.content : 1);
  s.content.size = f.content;
  {
    lock_guard lock(table_.m);
    s.seq = submitted_++;
    s.state = slot_state::pending;
    ++table_.outstanding;
  }
  work_pool_submit(decode_task, &table_);
}

// Writes the oldest frame out once decoded; false when it did not decode.
bool frame_engine::write_oldest() {
  frame_slot& s = slot(written_);
  {
    lock_guard lock(table_.m);
    if (s.state != slot_state::done && written_ > 0 && ring_ < table_.count) ++ring_;
    while (s.state != slot_state::done) pthread_cond_wait(&table_.cv, &table_.m);
    if (!s.sound) return false;
    s.state = slot_state::free;  // no thread looks at it until it is pending again
  }
  taken_[slot_of_[written_ % MAX_SLOTS]] = false;
  for (size_t at = 0; at < s.content.size; at += WRITE_PIECE) {
    const size_t n = s.content.size - at < WRITE_PIECE ? s.content.size - at : WRITE_PIECE;
    ctx_.writer(&ctx_, reinterpret_cast<const char*>(s.content.data + at), static_cast<int>(n));
  }
  ++written_;
  return true;
}

// The one-thread path from frame seq on: that frame and the ones behind
// it, whose decoding is waited for and dropped, then the rest of the input.
int frame_engine::finish_from(uint64_t seq) {
  byte_buffer replayed{};
  {
    lock_guard lock(table_.m);
    while (table_.outstanding > 0) pthread_cond_wait(&table_.cv, &table_.m);
  }
  for (uint64_t k = seq; k < submitted_; ++k) {
    const frame_slot& s = slot(k);
    frame_bytes_append(replayed, s.input.data + s.frame_start, s.input.size - s.frame_start);
  }
  frame_bytes_append(replayed, input_.buf.data + input_.pos, input_.buf.size - input_.pos);
  const uint64_t offset = seq < submitted_ ? slot(seq).offset : input_.base + input_.pos;
  const int result = unzip_rest(ctx_, replayed.data, replayed.size, offset, false);
  buffer_free(replayed);
  return result;
}

int frame_engine::run(frame_found f) {
  for (;;) {
    if (f.kind != frame_kind::frame) break;
    if (submitted_ - written_ == ring_ && !write_oldest()) return finish_from(written_);
    submit(f);
    f = next_frame(input_);
  }
  while (written_ < submitted_)
    if (!write_oldest()) return finish_from(written_);
  return f.kind == frame_kind::end ? 0 : finish_from(submitted_);
}

}  // namespace

int zstd_unzip_frames(intptr_t caller_value, bz_reader reader, bz_writer writer) {
  bz_context ctx{caller_value, reader, writer};
  unsigned threads = bzunzip_thread_count();
  if (threads <= 1) return zstd_unzip(caller_value, reader, writer);
  if (threads > MAX_FRAME_THREADS) threads = MAX_FRAME_THREADS;
  // The first frame decides: a record of frames the threads take (what
  // vnpack writes) is decoded on them; any other, such as one large frame,
  // by one thread running ahead of the writer.
  frame_input probe{&ctx, {}, 0, false, 0};
  const frame_found first = next_frame(probe);
  if (first.kind == frame_kind::end) {
    buffer_free(probe.buf);
    return 0;
  }
  const unsigned workers = first.kind == frame_kind::frame ? work_pool_join(threads) : 0;
  if (workers == 0) {
    const int result =
        unzip_rest(ctx, probe.buf.data + probe.pos, probe.buf.size - probe.pos, probe.base + probe.pos, true);
    buffer_free(probe.buf);
    return result;
  }
  frame_engine engine(ctx, workers, probe);
  return engine.run(first);
}
