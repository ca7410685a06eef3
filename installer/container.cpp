// Locating the package inside the installer's own file.
#include <unistd.h>

#include <cstring>

#include "installer.h"

namespace {

// The magic is stored as two pieces, apart from each other, so that the 14
// bytes never stand together in this program's image: the payload search
// scans the image too, and its first hit must be the package header.
// Reading the pieces through volatile pointers keeps the compiler from
// folding them into one constant.
const char magic_first_piece[] = "\001Install";
const char magic_spacer[] = "vninstall";
const char magic_second_piece[] = "\007Magic";

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

void build_package_magic() {
  package_magic[0] = '\0';
  append_piece(package_magic, magic_first_piece);
  append_piece(package_magic, magic_second_piece);
  (void)magic_spacer;
}

uint32_t find_package_offset(int fd, uint32_t start, uint32_t limit) {
  const auto m = static_cast<uint64_t>(PACKAGE_MAGIC_LENGTH);
  unsigned char chunk[SEARCH_CHUNK_SIZE];
  uint64_t pos = start;  // file offset just past the data read so far
  if (lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) return 0;
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return 0;
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
