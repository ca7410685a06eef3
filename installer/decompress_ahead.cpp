// Decompression ahead of the writer. The decompressor runs as a task of the
// installer's pool and fills slots with records (a write and its bytes, or
// a message); the calling thread replays the slots in order. A slot is
// handed over when full and when the decompressor ends. A decompressor
// that finds all slots taken waits until half of them are free again, so
// the threads wake each other about once per slot, not once per write.
#include "decompress_ahead.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "block_buffers.h"
#include "large_pages.h"
#include "work_pool.h"

namespace {

// Bytes of records in one slot (two writes of the largest piece the
// decompressors make, 128 KiB, with their heads), and the slots: the
// output held ahead of the writer is at most their product (a write larger
// than a slot gets a slot of its own size).
constexpr size_t SLOT_BYTES = 264 * 1024;
constexpr unsigned SLOT_COUNT = 4;

enum class record_kind : uint32_t { write, message, fatal };
struct record_head {
  record_kind kind;
  uint32_t size;  // bytes that follow
};

struct slot {
  char* data;
  size_t size;
  size_t capacity;
};

struct ahead_state {
  pthread_mutex_t m;
  pthread_cond_t main_cv;   // a slot handed over, or the end
  pthread_cond_t ahead_cv;  // slots free again
  bz_context user;
  unzip_function decompress;
  slot slots[SLOT_COUNT];
  large_region slot_pages;  // the slots of SLOT_BYTES, side by side
  unsigned fill_index;  // the slot the decompressor fills
  unsigned take_index;  // the slot the calling thread replays next
  unsigned handed_over; // slots with the calling thread
  bool ahead_waiting;   // the decompressor waits for free slots
  bool finished;
  int result;
};

// The decompression this thread runs, if it is a decompress_ahead task.
thread_local ahead_state* running_here = nullptr;

ahead_state& state_of(bz_context* ctx) { return *reinterpret_cast<ahead_state*>(ctx->caller_value); }

// Gives the slot being filled to the calling thread and takes the next
// one, waiting while all are in use.
void hand_over(ahead_state& s) {
  if (s.slots[s.fill_index].size == 0) return;
  lock_guard lock(s.m);
  ++s.handed_over;
  pthread_cond_signal(&s.main_cv);
  s.fill_index = (s.fill_index + 1) % SLOT_COUNT;
  if (s.handed_over == SLOT_COUNT) {
    s.ahead_waiting = true;
    while (s.handed_over > SLOT_COUNT / 2) pthread_cond_wait(&s.ahead_cv, &s.m);
    s.ahead_waiting = false;
  }
  s.slots[s.fill_index].size = 0;
}

// Storage for a slot of at least capacity bytes, its contents kept. The
// slots of the usual size lie in one large-page region, so that filling
// them the first time costs one page fault, not hundreds.
void grow_slot(ahead_state& s, slot& to, size_t capacity) {
  if (to.data == nullptr && capacity <= SLOT_BYTES) {
    to.data = static_cast<char*>(region_cut(s.slot_pages, SLOT_COUNT * SLOT_BYTES, SLOT_BYTES));
    if (to.data != nullptr) {
      to.capacity = SLOT_BYTES;
      return;
    }
  }
  if (region_holds(s.slot_pages, to.data)) {
    auto* moved = static_cast<char*>(blocks_grow(nullptr, capacity));
    std::memcpy(moved, to.data, to.size);
    to.data = moved;
  } else {
    to.data = static_cast<char*>(blocks_grow(to.data, capacity));
  }
  to.capacity = capacity;
}

// The slot being filled, with room for a record of n bytes behind what it
// holds.
slot& room_for(ahead_state& s, size_t n) {
  const size_t need = sizeof(record_head) + n;
  if (s.slots[s.fill_index].size + need > SLOT_BYTES) hand_over(s);
  slot& to = s.slots[s.fill_index];
  if (to.size + need > to.capacity) grow_slot(s, to, to.size + need > SLOT_BYTES ? to.size + need : SLOT_BYTES);
  return to;
}

// A record whose n bytes are in place behind its head.
void close_record(slot& to, record_kind kind, size_t n) {
  const record_head head{kind, static_cast<uint32_t>(n)};
  std::memcpy(to.data + to.size, &head, sizeof head);
  to.size += sizeof head + n;
}

void add_record(ahead_state& s, record_kind kind, const char* data, size_t n) {
  slot& to = room_for(s, n);
  if (n > 0) std::memcpy(to.data + to.size + sizeof(record_head), data, n);
  close_record(to, kind, n);
}

int ahead_writer(bz_context* ctx, const char* data, int count) {
  add_record(state_of(ctx), record_kind::write, data, count > 0 ? static_cast<size_t>(count) : 0);
  return 0;
}

// Input comes straight from the caller's reader, on this thread: reading
// is cheap, and a reader shares no state with the writer.
int ahead_reader(bz_context* ctx, char* buf, int wanted) {
  ahead_state& s = state_of(ctx);
  return s.user.reader(&s.user, buf, wanted);
}

void decompress_task(void* arg) {
  ahead_state& s = *static_cast<ahead_state*>(arg);
  running_here = &s;
  const int result = s.decompress(reinterpret_cast<intptr_t>(&s), ahead_reader, ahead_writer);
  hand_over(s);
  running_here = nullptr;
  lock_guard lock(s.m);
  s.result = result;
  s.finished = true;
  pthread_cond_signal(&s.main_cv);
}

void print_message(const char* line, size_t n) {
  std::fflush(stdout);
  std::fwrite(line, 1, n, stderr);
}

void replay(ahead_state& s, const slot& from) {
  for (size_t at = 0; at < from.size;) {
    record_head head;
    std::memcpy(&head, from.data + at, sizeof head);
    const char* data = from.data + at + sizeof head;
    at += sizeof head + head.size;
    if (head.kind == record_kind::write) {
      s.user.writer(&s.user, data, static_cast<int>(head.size));
      continue;
    }
    print_message(data, head.size);
    if (head.kind == record_kind::fatal) std::exit(1);
  }
}

// The calling thread's part: reads, writes and messages until the end.
int serve(ahead_state& s) {
  for (;;) {
    pthread_mutex_lock(&s.m);
    while (s.handed_over == 0 && !s.finished) pthread_cond_wait(&s.main_cv, &s.m);
    if (s.handed_over == 0) {  // finished, and everything written
      pthread_mutex_unlock(&s.m);
      return s.result;
    }
    const slot& next = s.slots[s.take_index];
    pthread_mutex_unlock(&s.m);
    replay(s, next);
    lock_guard lock(s.m);
    s.take_index = (s.take_index + 1) % SLOT_COUNT;
    --s.handed_over;
    if (s.ahead_waiting && s.handed_over <= SLOT_COUNT / 2) pthread_cond_signal(&s.ahead_cv);
  }
}

}  // namespace

int decompress_ahead(unzip_function decompress, intptr_t caller_value, bz_reader reader, bz_writer writer) {
  if (bzunzip_thread_count() <= 1 || work_pool_join(1) == 0) return decompress(caller_value, reader, writer);
  ahead_state s{};
  pthread_mutex_init(&s.m, nullptr);
  pthread_cond_init(&s.main_cv, nullptr);
  pthread_cond_init(&s.ahead_cv, nullptr);
  s.user = {caller_value, reader, writer};
  s.decompress = decompress;
  work_pool_submit(decompress_task, &s);
  const int result = serve(s);
  work_pool_leave(1);
  for (slot& sl : s.slots)
    if (!region_holds(s.slot_pages, sl.data)) std::free(sl.data);
  region_release(s.slot_pages);
  pthread_cond_destroy(&s.ahead_cv);
  pthread_cond_destroy(&s.main_cv);
  pthread_mutex_destroy(&s.m);
  return result;
}

char* unzip_output_room(size_t n) {
  if (running_here == nullptr) return nullptr;
  slot& to = room_for(*running_here, n);
  return to.data + to.size + sizeof(record_head);
}

void unzip_output_commit(size_t count) {
  // The room asked for last is still the end of the slot being filled.
  if (count > 0) close_record(running_here->slots[running_here->fill_index], record_kind::write, count);
}

void report_unzip_message(const char* line) {
  if (running_here != nullptr) {
    add_record(*running_here, record_kind::message, line, std::strlen(line));
    return;
  }
  print_message(line, std::strlen(line));
}

void report_unzip_fatal(const char* line) {
  if (running_here != nullptr) {
    // The calling thread ends the process once the output before it is out.
    add_record(*running_here, record_kind::fatal, line, std::strlen(line));
    hand_over(*running_here);
    static pthread_mutex_t parked = PTHREAD_MUTEX_INITIALIZER;
    static pthread_cond_t never = PTHREAD_COND_INITIALIZER;
    pthread_mutex_lock(&parked);
    for (;;) pthread_cond_wait(&never, &parked);
  }
  print_message(line, std::strlen(line));
  std::exit(1);
}
