// The installer's pool of worker threads: a queue of tasks under one mutex.
#include "work_pool.h"

#include <cstdlib>

#include "archive.h"
#include "block_buffers.h"

bool bzunzip_refuse_threads = false;

namespace {

// The block decoder's threads and the one of the decompression that runs
// ahead of the writer.
constexpr unsigned POOL_MAX_THREADS = 65;
constexpr size_t FIRST_QUEUE_CAPACITY = 16;

struct queued_task {
  pool_task run;
  void* arg;
};

struct pool_state {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t work_cv = PTHREAD_COND_INITIALIZER;
  pthread_t threads[POOL_MAX_THREADS];
  unsigned count = 0;   // threads running
  unsigned wanted = 0;  // threads the users hold
  bool stopping = false;
  // A ring of queued tasks.
  queued_task* queue = nullptr;
  size_t capacity = 0;
  size_t head = 0;
  size_t size = 0;
};

pool_state pool;

void* pool_thread_main(void*) {
  pthread_mutex_lock(&pool.m);
  for (;;) {
    while (!pool.stopping && pool.size == 0) pthread_cond_wait(&pool.work_cv, &pool.m);
    if (pool.size == 0) break;  // stopping, and nothing left to run
    const queued_task t = pool.queue[pool.head];
    pool.head = (pool.head + 1) % pool.capacity;
    --pool.size;
    pthread_mutex_unlock(&pool.m);
    t.run(t.arg);
    pthread_mutex_lock(&pool.m);
  }
  pthread_mutex_unlock(&pool.m);
  return nullptr;
}

// Makes room for one more task. Locked.
void grow_queue() {
  if (pool.size < pool.capacity) return;
  const size_t capacity = pool.capacity > 0 ? pool.capacity * 2 : FIRST_QUEUE_CAPACITY;
  auto* queue = static_cast<queued_task*>(blocks_grow(nullptr, capacity * sizeof(queued_task)));
  for (size_t i = 0; i < pool.size; ++i) queue[i] = pool.queue[(pool.head + i) % pool.capacity];
  std::free(pool.queue);
  pool.queue = queue;
  pool.capacity = capacity;
  pool.head = 0;
}

}  // namespace

unsigned work_pool_join(unsigned threads) {
  if (bzunzip_refuse_threads) return 0;
  lock_guard lock(pool.m);
  unsigned got = 0;
  while (got < threads && pool.count < POOL_MAX_THREADS) {
    if (pool.wanted + got < pool.count) {
      ++got;  // a thread a user left behind is still there
      continue;
    }
    if (pthread_create(&pool.threads[pool.count], nullptr, pool_thread_main, nullptr) != 0) break;
    ++pool.count;
    ++got;
  }
  pool.wanted += got;
  return got;
}

void work_pool_leave(unsigned threads) {
  if (threads == 0) return;
  pthread_mutex_lock(&pool.m);
  pool.wanted -= threads;
  if (pool.wanted > 0) {
    pthread_mutex_unlock(&pool.m);
    return;
  }
  pool.stopping = true;
  pthread_cond_broadcast(&pool.work_cv);
  const unsigned count = pool.count;
  pthread_mutex_unlock(&pool.m);
  for (unsigned i = 0; i < count; ++i) pthread_join(pool.threads[i], nullptr);
  lock_guard lock(pool.m);
  pool.count = 0;
  pool.stopping = false;
  std::free(pool.queue);
  pool.queue = nullptr;
  pool.capacity = pool.head = pool.size = 0;
}

void work_pool_submit(pool_task task, void* arg) {
  lock_guard lock(pool.m);
  grow_queue();
  pool.queue[(pool.head + pool.size) % pool.capacity] = {task, arg};
  ++pool.size;
  pthread_cond_signal(&pool.work_cv);
}
