// Locating the package inside the installer's own file.
#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "installer.h"

namespace {

// The pieces are read through volatile pointers, which keeps the compiler
// from folding them into one 14-byte constant.
const volatile char* const magic_pieces[] = {PACKAGE_MAGIC_FIRST_PIECE, PACKAGE_MAGIC_SECOND_PIECE};

constexpr size_t SEARCH_CHUNK_SIZE = 1024;
constexpr unsigned char MAGIC_FIRST_BYTE = 0x01;

void append_piece(char* dest, const volatile char* piece) {
  while (*dest) dest++;
  while ((*dest++ = *piece++) != '\0') {
  }
}

}  // namespace

size_t read_fully(int fd, void* buf, size_t n) {
  auto* bytes = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t got = read(fd, bytes + done, n - done);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t write_fully(int fd, const void* buf, size_t n) {
  const auto* bytes = static_cast<const unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t written = write(fd, bytes + done, n - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = 0;
      break;
    }
    done += static_cast<size_t>(written);
  }
  return done;
}

void build_package_magic() {
  package_magic[0] = '\0';
  for (const volatile char* piece : magic_pieces) append_piece(package_magic, piece);
}

namespace {

// The search goes through the file in 1024-byte chunks, seeking back to a
// candidate that straddles a chunk's end. Those chunks are served from a
// window read in large pieces, so that a search through a stub of half a
// megabyte takes a few reads instead of hundreds of reads and seeks; the
// chunks, and so the result, are the same.
constexpr size_t SEARCH_WINDOW_SIZE = 64 * 1024;

struct search_window {
  int fd;
  unsigned char* data;
  uint64_t start;  // file offset of data[0]
  size_t size;     // bytes of data that hold the file
  bool ended;      // the file (or what could be read of it) ends there
  uint64_t pos;    // offset of the next chunk, where the file would stand

  // Up to SEARCH_CHUNK_SIZE bytes from pos on, as read_fully would give
  // them; sets *chunk to where they are.
  size_t next_chunk(const unsigned char** chunk) {
    const bool inside = pos >= start && pos <= start + size;
    if (!inside || (start + size - pos < SEARCH_CHUNK_SIZE && !ended)) {
      if (lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) return 0;
      start = pos;
      size = read_fully(fd, data, SEARCH_WINDOW_SIZE);
      ended = size < SEARCH_WINDOW_SIZE;
    }
    const uint64_t left = start + size - pos;
    const size_t n = left < SEARCH_CHUNK_SIZE ? static_cast<size_t>(left) : SEARCH_CHUNK_SIZE;
    *chunk = data + (pos - start);
    pos += n;
    return n;
  }
};

unsigned char search_window_data[SEARCH_WINDOW_SIZE];

uint32_t search_chunks(search_window& w, uint32_t limit) {
  const auto m = static_cast<uint64_t>(PACKAGE_MAGIC_LENGTH);
  for (;;) {
    // A chunk is filled as far as the file goes: a read may return less
    // than asked without the file having ended, and a candidate at the
    // start of a short chunk is only given up at the real end.
    const unsigned char* chunk = nullptr;
    const size_t got = w.next_chunk(&chunk);
    if (got == 0) return 0;
    const auto n = static_cast<uint64_t>(got);
    const uint64_t pos = w.pos;
    uint64_t i = 0;
    for (;;) {
      const void* hit = std::memchr(chunk + i, MAGIC_FIRST_BYTE, n - i);
      if (hit == nullptr) break;  // read the next chunk
      const uint64_t p = static_cast<const unsigned char*>(hit) - chunk;
      const uint64_t candidate = pos - n + p;
      if (p + m > n) {
        // The candidate straddles the end of the chunk: re-read from it,
        // unless the file ends too soon after this chunk to hold a magic.
        // A chunk that already began with the candidate was cut short by
        // the end of the file; re-reading it would never make progress.
        if (pos + m > limit || p == 0) return 0;
        w.pos = candidate;
        break;
      }
      if (std::memcmp(chunk + p, package_magic, m) == 0) return static_cast<uint32_t>(candidate);
      i = p + 1;
      if (i >= n) break;
    }
  }
}

}  // namespace

uint32_t find_package_offset(int fd, uint32_t start, uint32_t limit) {
  if (lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) return 0;
  search_window w{fd, search_window_data, 0, 0, false, start};
  const uint32_t found = search_chunks(w, limit);
  // The file is left where chunk by chunk reading would have left it.
  lseek(fd, static_cast<off_t>(w.pos), SEEK_SET);
  return found;
}
