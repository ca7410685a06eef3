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

uint32_t find_package_offset(int fd, uint32_t start, uint32_t limit) {
  const auto m = static_cast<uint64_t>(PACKAGE_MAGIC_LENGTH);
  unsigned char chunk[SEARCH_CHUNK_SIZE];
  uint64_t pos = start;  // file offset just past the data read so far
  if (lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) return 0;
  for (;;) {
    // A chunk is filled as far as the file goes: a read may return less
    // than asked without the file having ended, and a candidate at the
    // start of a short chunk is only given up at the real end.
    const size_t got = read_fully(fd, chunk, sizeof chunk);
    if (got == 0) return 0;
    const auto n = static_cast<uint64_t>(got);
    pos += n;
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
        pos = candidate;
        if (lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) return 0;
        break;
      }
      if (std::memcmp(chunk + p, package_magic, m) == 0) return static_cast<uint32_t>(candidate);
      i = p + 1;
      if (i >= n) break;
    }
  }
}
