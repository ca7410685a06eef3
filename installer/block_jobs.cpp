// Block jobs on the pool's threads. Every submitted job gets a task; a task
// decodes the pending job dispatched first, so the threads take the blocks
// in order whichever task runs, and a task that finds none (the calling
// thread took the job, or it was dropped) ends at once.
#include "block_jobs.h"

#include <cstdlib>
#include <cstring>

#include "large_pages.h"
#include "work_pool.h"

namespace {

// Decompressed bytes one block may hold while it waits for its turn, and
// the head block (the one being written) ahead of the writer.
constexpr size_t OUTPUT_AHEAD_LIMIT = 2 * 1024 * 1024;
constexpr size_t HEAD_AHEAD_LIMIT = 256 * 1024;
// What the blocks behind the head may hold between them, per thread: about
// a block's output, so that each thread can finish the block it decodes
// while the writer takes the head's output. When the writer is the slower
// one, memory stays at that, however long the archive.
constexpr size_t HELD_PER_THREAD = 256 * 1024;

// The pending job dispatched first; null when there is none. Locked.
block_job* next_pending(job_table& t) {
  block_job* best = nullptr;
  for (size_t i = 0; i < t.slots; ++i)
    if (t.jobs[i].state == job_state::pending && (best == nullptr || t.jobs[i].seq < best->seq)) best = &t.jobs[i];
  return best;
}

struct worker_output {
  job_table* table;
  block_job* job;
};

// Pieces of this many bytes are kept for reuse: the decoder's output comes
// in pieces of at most its buffer.
constexpr unsigned PIECE_CAPACITY = 64 * 1024;

constexpr size_t PIECE_STRIDE = sizeof(out_piece) + PIECE_CAPACITY;

// A new piece of the usual capacity: cut from a large-page region while it
// has room (one page fault for the lot), then from malloc. Locked.
out_piece* new_piece(job_table& t) {
  void* piece = region_cut(t.piece_pages, LARGE_PAGE_BYTES, PIECE_STRIDE);
  return static_cast<out_piece*>(piece != nullptr ? piece : blocks_grow(nullptr, PIECE_STRIDE));
}

// A piece for n bytes: a spare one (all spares have PIECE_CAPACITY), or a
// new one. Locked.
out_piece* take_piece(job_table& t, unsigned n) {
  out_piece* piece = t.spare;
  if (piece != nullptr && n <= PIECE_CAPACITY) {
    t.spare = piece->next;
  } else if (n <= PIECE_CAPACITY) {
    piece = new_piece(t);
    piece->capacity = PIECE_CAPACITY;
  } else {
    piece = static_cast<out_piece*>(blocks_grow(nullptr, sizeof(out_piece) + n));
    piece->capacity = n;
  }
  piece->next = nullptr;
  piece->size = n;
  return piece;
}

// Keeps a written piece for reuse, or frees an outsized one. Locked.
void give_back_piece(job_table& t, out_piece* piece) {
  if (piece->capacity != PIECE_CAPACITY) {
    std::free(piece);
    return;
  }
  piece->next = t.spare;
  t.spare = piece;
}

// Queues one piece of a job's output, waiting while it holds too much.
bool queue_output(void* ctx, const char* data, unsigned n) {
  const worker_output& out = *static_cast<worker_output*>(ctx);
  job_table* t = out.table;
  block_job* job = out.job;
  out_piece* piece;
  {
    lock_guard lock(t->m);
    piece = take_piece(*t, n);
  }
  std::memcpy(piece->data(), data, n);
  lock_guard lock(t->m);
  auto full = [&] {
    if (job->seq == t->head_seq) return job->out_bytes >= HEAD_AHEAD_LIMIT;
    return job->out_bytes >= OUTPUT_AHEAD_LIMIT || t->held_bytes >= t->held_limit;
  };
  // A decoder waiting for the writer uses no processor: while it waits, it
  // does not count against the decoders allowed beside a busy writer, and
  // one held back may go on with the next block.
  bool waited = false;
  while (!job->cancelled && !t->stopping && full()) {
    if (!waited) {
      waited = true;
      --t->decoding;
      if (t->held_back > 0) pthread_cond_broadcast(&t->progress_cv);
    }
    pthread_cond_wait(&t->progress_cv, &t->m);
  }
  if (waited) ++t->decoding;
  if (job->cancelled || t->stopping) {
    give_back_piece(*t, piece);
    return false;
  }
  if (job->out_tail != nullptr) job->out_tail->next = piece;
  else job->out_head = piece;
  job->out_tail = piece;
  job->out_bytes += n;
  t->held_bytes += n;
  pthread_cond_broadcast(&t->progress_cv);
  return true;
}

// Work space of libbz2 for the blocks a pool thread decodes, kept from one
// block to the next (and one record to the next) as long as the thread
// lives, and freed when it ends.
pthread_key_t space_key;
pthread_once_t space_key_once = PTHREAD_ONCE_INIT;

void release_space(void* space) {
  block_space_release(*static_cast<block_space*>(space));
  std::free(space);
}

void make_space_key() {
  if (pthread_key_create(&space_key, release_space) != 0) blocks_out_of_memory();
}

block_space& thread_space() {
  pthread_once(&space_key_once, make_space_key);
  auto* space = static_cast<block_space*>(pthread_getspecific(space_key));
  if (space == nullptr) {
    space = static_cast<block_space*>(std::calloc(1, sizeof(block_space)));
    if (space == nullptr || pthread_setspecific(space_key, space) != 0) blocks_out_of_memory();
  }
  return *space;
}

// The calling thread waits for output, and says so: a decoder held back
// for it may start now (only then is there anyone to wake). Locked.
void wait_for_output(job_table& t) {
  t.caller_waiting = true;
  if (t.held_back > 0) pthread_cond_broadcast(&t.progress_cv);
  pthread_cond_wait(&t.progress_cv, &t.m);
  t.caller_waiting = false;
}

void decode_task(void* arg) {
  job_table& t = *static_cast<job_table*>(arg);
  pthread_mutex_lock(&t.m);
  while (!t.stopping && t.decoding >= t.busy_limit && !t.caller_waiting && next_pending(t) != nullptr) {
    ++t.held_back;
    pthread_cond_wait(&t.progress_cv, &t.m);
    --t.held_back;
  }
  block_job* job = t.stopping ? nullptr : next_pending(t);
  if (job != nullptr) {
    job->state = job_state::running;
    ++t.decoding;
    pthread_mutex_unlock(&t.m);
    worker_output out{&t, job};
    const block_result r = decode_block(job->raw.data, job->raw.size, job->start, job->end, job->level, thread_space(),
                                        queue_output, &out);
    buffer_free(job->raw);
    pthread_mutex_lock(&t.m);
    job->result = r.result;
    job->error = r.error;
    job->state = job_state::done;
    --t.decoding;
  }
  --t.outstanding;
  pthread_cond_broadcast(&t.progress_cv);
  pthread_mutex_unlock(&t.m);
}

// Locked, or with no thread left to decode.
void free_output(job_table& t, block_job& job) {
  t.held_bytes -= job.out_bytes;
  while (job.out_head != nullptr) {
    out_piece* next = job.out_head->next;
    give_back_piece(t, job.out_head);
    job.out_head = next;
  }
  job.out_tail = nullptr;
  job.out_bytes = 0;
}

// Hands the queued output of a job a thread decodes to emit as it comes.
void pass_on_output(job_table& t, block_job& j, block_emit emit, void* ctx) {
  out_piece* written = nullptr;  // given back under the next lock
  for (;;) {
    out_piece* piece;
    {
      lock_guard lock(t.m);
      if (written != nullptr) give_back_piece(t, written);
      while (j.out_head == nullptr && j.state != job_state::done) wait_for_output(t);
      piece = j.out_head;
      if (piece == nullptr) return;
      j.out_head = piece->next;
      if (j.out_head == nullptr) j.out_tail = nullptr;
      j.out_bytes -= piece->size;
      t.held_bytes -= piece->size;
      pthread_cond_broadcast(&t.progress_cv);
    }
    emit(ctx, piece->data(), piece->size);
    written = piece;
  }
}

}  // namespace

void jobs_init(job_table& t, size_t slots) {
  std::memset(&t, 0, sizeof t);
  pthread_mutex_init(&t.m, nullptr);
  pthread_cond_init(&t.progress_cv, nullptr);
  t.slots = slots;
  t.jobs = static_cast<block_job*>(std::calloc(slots, sizeof(block_job)));
  if (t.jobs == nullptr) blocks_out_of_memory();
}

void jobs_destroy(job_table& t) {
  {
    lock_guard lock(t.m);
    t.stopping = true;
    pthread_cond_broadcast(&t.progress_cv);
    while (t.outstanding > 0) pthread_cond_wait(&t.progress_cv, &t.m);
  }
  work_pool_leave(t.workers);
  for (size_t i = 0; i < t.slots; ++i) {
    free_output(t, t.jobs[i]);
    buffer_free(t.jobs[i].raw);
  }
  std::free(t.jobs);
  while (t.spare != nullptr) {
    out_piece* next = t.spare->next;
    if (!region_holds(t.piece_pages, t.spare)) std::free(t.spare);
    t.spare = next;
  }
  region_release(t.piece_pages);
  pthread_cond_destroy(&t.progress_cv);
  pthread_mutex_destroy(&t.m);
}

bool jobs_start_workers(job_table& t, unsigned threads) {
  t.workers = work_pool_join(threads);
  t.held_limit = t.workers * HELD_PER_THREAD;
  t.busy_limit = t.workers > 1 ? t.workers - 1 : 1;
  // Jobs submitted before there were threads get their tasks now.
  size_t waiting = 0;
  {
    lock_guard lock(t.m);
    if (t.workers == 0) return false;
    for (size_t i = 0; i < t.slots; ++i)
      if (t.jobs[i].state == job_state::pending) ++waiting;
    t.outstanding += static_cast<unsigned>(waiting);
  }
  for (size_t i = 0; i < waiting; ++i) work_pool_submit(decode_task, &t);
  return true;
}

void jobs_claim_slot(job_table& t, block_job& j) {
  // A slot whose dropped job a thread still decodes is waited for.
  lock_guard lock(t.m);
  while (j.state == job_state::running) pthread_cond_wait(&t.progress_cv, &t.m);
  free_output(t, j);
}

void jobs_submit(job_table& t, block_job& j) {
  {
    lock_guard lock(t.m);
    j.state = job_state::pending;
    if (t.workers == 0) return;
    ++t.outstanding;
  }
  work_pool_submit(decode_task, &t);
}

void jobs_cancel(job_table& t, block_job& j) {
  lock_guard lock(t.m);
  j.cancelled = true;
  if (j.state == job_state::pending) j.state = job_state::free;
  pthread_cond_broadcast(&t.progress_cv);
}

block_result jobs_drain(job_table& t, block_job& j, block_space& space, block_emit emit, void* ctx) {
  bool mine = false;
  {
    lock_guard lock(t.m);
    t.head_seq = j.seq;  // its thread may now run ahead of the others
    pthread_cond_broadcast(&t.progress_cv);
    // With threads, one of them takes the job: the threads take the jobs in
    // order, so the head is next. Decoding it here as well would run one
    // decoder more than there are threads, and hold its megabytes of work
    // space for the rest of the run, without finishing any sooner.
    while (j.state == job_state::pending && t.workers > 0 && !t.stopping) wait_for_output(t);
    if (j.state == job_state::pending) {
      j.state = job_state::running;  // no thread to take it: decode it here
      mine = true;
    }
  }
  if (mine) {
    const block_result r = decode_block(j.raw.data, j.raw.size, j.start, j.end, j.level, space, emit, ctx);
    buffer_free(j.raw);
    lock_guard lock(t.m);
    j.result = r.result;
    j.error = r.error;
    j.state = job_state::done;
    return r;
  }
  pass_on_output(t, j, emit, ctx);
  lock_guard lock(t.m);
  return {j.result, j.error};
}
