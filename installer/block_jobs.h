// block_jobs.h - the blocks of one bzip2 record being decoded on the pool's
// threads: a fixed table of jobs, each with its input bytes and a queue of
// the output decoded so far, which the calling thread takes in order.
#ifndef VNINSTALL_BLOCK_JOBS_H
#define VNINSTALL_BLOCK_JOBS_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "block_buffers.h"
#include "block_decoder.h"
#include "large_pages.h"

enum class job_state { free, pending, running, done };

// A piece of decompressed output waiting for the writer. Pieces of the
// usual capacity are kept for reuse once written.
struct out_piece {
  out_piece* next;
  unsigned size;
  unsigned capacity;
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

struct block_job {
  uint64_t seq;    // dispatch order
  uint64_t start;  // bit of its block marker
  uint64_t end;    // bit of the next marker
  int level;
  byte_buffer raw;  // input bytes from start / 8 to the byte of end
  // The rest is guarded by the table's mutex.
  job_state state;
  out_piece* out_head;
  out_piece* out_tail;
  size_t out_bytes;
  outcome result;
  int error;
  bool cancelled;
};

struct job_table {
  pthread_mutex_t m;
  pthread_cond_t progress_cv;  // output, results, room for output
  block_job* jobs;
  size_t slots;
  unsigned workers;      // pool threads taken for the table
  unsigned outstanding;  // tasks submitted and not yet finished
  bool stopping;
  // Output queued over all jobs, and how much of it the jobs behind the
  // head (the job being drained) may hold between them.
  size_t held_bytes;
  size_t held_limit;
  uint64_t head_seq;
  // Written pieces kept for the next output: the memory of the output held
  // stays at the most ever held at once, whichever threads made it.
  out_piece* spare;
  large_region piece_pages;  // where the first pieces are cut from
  // Blocks being decoded (not counting decoders that wait for room for
  // their output), and how many may be while the caller is busy with
  // output: one thread fewer than there are, so that a caller slower than
  // the decoding keeps a processor of its own. While the caller waits for
  // output, every thread may decode.
  unsigned decoding;
  unsigned busy_limit;
  unsigned held_back;  // tasks waiting for a decoder to finish
  bool caller_waiting;
};

void jobs_init(job_table& t, size_t slots);
// Stops the decoding, waits for the tasks still out and frees everything.
void jobs_destroy(job_table& t);
// Takes up to `threads` pool threads; false when none could start.
bool jobs_start_workers(job_table& t, unsigned threads);
// Waits until no thread decodes the job in slot j and drops its output.
void jobs_claim_slot(job_table& t, block_job& j);
// Hands a filled-in job to the pool.
void jobs_submit(job_table& t, block_job& j);
// The job's output is no longer wanted.
void jobs_cancel(job_table& t, block_job& j);
// Hands the job's output to emit in order, decoding it here when no thread
// has taken it, and returns how its decoding ended.
block_result jobs_drain(job_table& t, block_job& j, block_space& space, block_emit emit, void* ctx);

#endif  // VNINSTALL_BLOCK_JOBS_H
