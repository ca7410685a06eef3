// work_pool.h - the installer's one pool of worker threads. Its users (the
// bzip2 block decoder, the decompression that runs ahead of the writer)
// join it for the threads they want and leave it when done; the threads
// run the tasks in the order they were submitted. Threads come from
// pthreads, not the C++ runtime, so that the installer stays free of it.
#ifndef VNINSTALL_WORK_POOL_H
#define VNINSTALL_WORK_POOL_H

#include <pthread.h>

using pool_task = void (*)(void* arg);

// Asks for `threads` more threads; returns how many the pool started for
// this user (0 when none could start: the user then does the work itself).
unsigned work_pool_join(unsigned threads);
// Gives back what work_pool_join returned; the last user to leave stops
// the threads, after the tasks still queued have run. Not to be called
// from a pool thread when it is the last user.
void work_pool_leave(unsigned threads);
// Queues a task for the next free thread.
void work_pool_submit(pool_task task, void* arg);

// Locks a mutex for the scope.
struct lock_guard {
  explicit lock_guard(pthread_mutex_t& mutex) : m(mutex) { pthread_mutex_lock(&m); }
  ~lock_guard() { pthread_mutex_unlock(&m); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;
  pthread_mutex_t& m;
};

#endif  // VNINSTALL_WORK_POOL_H
