// The bulk of the verification pass on two threads: the bytes from the
// package header to the end of the file are cut in two halves, each read
// and folded into a CRC register of its own, and the registers joined. The
// result is the register reading the bytes in order gives; a read that
// comes up short on either side (the file changed, or cannot be read) makes
// the caller read everything in order instead, so what it reports is the
// same either way.
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include "archive.h"
#include "installer.h"
#include "vnlib.h"
#include "work_pool.h"

namespace {

// Less than this is not worth a second thread: reading and folding it
// takes a few milliseconds.
constexpr uint64_t SPLIT_MIN_BYTES = 16 * 1024 * 1024;
constexpr size_t SPLIT_CHUNK = 64 * 1024;

// The second half's buffer, allocated with the program like the verify
// pass's own, which the calling thread uses for the first half.
unsigned char second_chunk[SPLIT_CHUNK];

struct half {
  int fd;
  uint64_t from, to;
  uint32_t reg;     // folded from 0
  uint64_t folded;  // bytes
  pthread_mutex_t m;
  pthread_cond_t done_cv;
  bool done;
};

// Folds [from, to) of the file into reg through buf; returns the bytes
// folded.
uint64_t fold_range(int fd, uint64_t from, uint64_t to, unsigned char* buf, size_t buf_size, uint32_t& reg) {
  uint64_t at = from;
  while (at < to) {
    const size_t want = to - at < buf_size ? static_cast<size_t>(to - at) : buf_size;
    const ssize_t got = pread(fd, buf, want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reg = vn::crc32_fold_from(reg, buf, static_cast<size_t>(got));
    at += static_cast<uint64_t>(got);
  }
  return at - from;
}

void fold_second_half(void* arg) {
  half& h = *static_cast<half*>(arg);
  uint32_t reg = 0;
  const uint64_t folded = fold_range(h.fd, h.from, h.to, second_chunk, sizeof second_chunk, reg);
  lock_guard lock(h.m);
  h.reg = reg;
  h.folded = folded;
  h.done = true;
  pthread_cond_signal(&h.done_cv);
}

}  // namespace

void crc_rest_split(int fd, uint64_t from, uint64_t file_size, unsigned char* buf, size_t buf_size) {
  if (file_size < from || file_size - from < SPLIT_MIN_BYTES || bzunzip_thread_count() <= 1) return;
  if (work_pool_join(1) == 0) return;
  const uint64_t middle = from + (file_size - from) / 2;
  half second{fd, middle, file_size, 0, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false};
  work_pool_submit(fold_second_half, &second);

  uint32_t reg = ~vn::crc32_accum(buf, 0);  // the register so far
  const uint64_t folded = fold_range(fd, from, middle, buf, buf_size, reg);
  pthread_mutex_lock(&second.m);
  while (!second.done) pthread_cond_wait(&second.done_cv, &second.m);
  pthread_mutex_unlock(&second.m);
  work_pool_leave(1);
  pthread_cond_destroy(&second.done_cv);
  pthread_mutex_destroy(&second.m);

  // Short on either side: the running register is untouched, and the
  // caller reads it all in order from `from`, where fd still is.
  if (folded != middle - from || second.folded != file_size - middle) return;
  vn::crc32_set(vn::crc32_zeros(reg, file_size - middle) ^ second.reg);
  // Whatever the file gained since its size was taken is read in order.
  lseek(fd, static_cast<off_t>(file_size), SEEK_SET);
}
