// The feed: hands the body of one package record, chunk by chunk, to the
// decompressor. It reads the installer's own file at absolute offsets, so it
// never depends on where the file position was left, and it never hands out
// a byte past the end of the body: a stream that runs on past its record is
// cut short rather than continued into the next record.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive.h"
#include "installer.h"

namespace {

struct feed_state {
  uint64_t next_offset = 0;  // file offset of the next body byte to hand out
  uint64_t body_start = 0;
  uint64_t body_end = 0;     // body offset + record length
  int fill = 0;              // bytes in the input buffer
  int position = 0;          // of those, bytes already handed out
  bool body_missing = false; // the file ended before the body did
  char buffer[FEED_CHUNK_SIZE];
};

feed_state feed;

// Reads up to `want` bytes of the body at the next offset into `into`; the
// count read, 0 at the end of the body or when the file cannot be read
// there (the body is then missing).
size_t read_body(char* into, size_t want) {
  const uint64_t left = feed.body_end - feed.next_offset;
  if (left == 0) return 0;
  if (want > left) want = static_cast<size_t>(left);
  ssize_t got;
  do {
    got = pread(package_fd, into, want, static_cast<off_t>(feed.next_offset));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    feed.body_missing = true;
    return 0;
  }
  return static_cast<size_t>(got);
}

// Reads the next chunk of the body into the input buffer; false at the end
// of the body or when the file cannot be read there.
bool refill() {
  const size_t got = read_body(feed.buffer, FEED_CHUNK_SIZE);
  if (got == 0) return false;
  feed.fill = static_cast<int>(got);
  feed.position = 0;
  return true;
}

}  // namespace

void feed_start(uint32_t body_offset, uint32_t body_length) {
  feed.next_offset = body_offset;
  feed.body_start = body_offset;
  feed.body_end = static_cast<uint64_t>(body_offset) + body_length;
  feed.fill = 0;
  feed.position = 0;
  feed.body_missing = false;
}

bool feed_body_missing() { return feed.body_missing; }

uint64_t feed_bytes_handed_out() { return feed.next_offset - feed.body_start; }

int record_reader(bz_context*, char* buf, int wanted) {
  int handed_out = 0;
  while (wanted > 0) {
    int n;
    if (feed.position >= feed.fill && wanted >= FEED_CHUNK_SIZE) {
      // A large request with the buffer used up goes straight into the
      // caller's buffer: the same bytes, without a copy and a read for
      // every chunk.
      n = static_cast<int>(read_body(buf + handed_out, static_cast<size_t>(wanted)));
      if (n == 0) break;
    } else {
      if (feed.position >= feed.fill && !refill()) break;
      n = feed.fill - feed.position;
      if (n > wanted) n = wanted;
      std::memcpy(buf + handed_out, feed.buffer + feed.position, static_cast<size_t>(n));
      feed.position += n;
    }
    feed.next_offset += static_cast<uint64_t>(n);
    handed_out += n;
    wanted -= n;
  }
  return handed_out;
}
