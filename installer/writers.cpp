// Writers for bzunzip that copy the decompressed bytes unchanged: to
// standard output (archive output mode) and, through a fixed buffer, to the
// stream a record handler has opened (the post-install script).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive.h"
#include "installer.h"

FILE* feed_output_stream = nullptr;

namespace {

constexpr int FILE_WRITER_BUFFER_SIZE = 2048;

char file_writer_buffer[FILE_WRITER_BUFFER_SIZE];
int file_writer_fill = 0;

// Standard output that cannot take the archive (a full disk, a reader that
// went away) is reported once; the rest of the archive is not written.
bool stdout_failed = false;

void report_stdout_failure() {
  std::fprintf(stderr, "Error writing archive to standard output: %s\n", std::strerror(errno));
  stdout_failed = true;
}

bool write_buffer() {
  return feed_output_stream != nullptr &&
         std::fwrite(file_writer_buffer, static_cast<size_t>(file_writer_fill), 1, feed_output_stream) == 1;
}

// Pieces this large go straight to the descriptor, behind what the buffer
// holds: copying them into it first would only cost time.
constexpr int STDOUT_DIRECT_PIECE = 64 * 1024;

bool write_direct(const char* data, size_t n) {
  if (std::fflush(stdout) != 0) return false;
  if (write_fully(STDOUT_FILENO, data, n) == n) return true;
  if (errno == 0) errno = EIO;  // a write that wrote nothing
  return false;
}

}  // namespace

bool stdout_write_failed() {
  if (!stdout_failed && std::fflush(stdout) != 0) report_stdout_failure();
  return stdout_failed;
}

int stdout_writer(bz_context*, const char* data, int count) {
  if (stdout_failed) return -1;
  if (count <= 0) return 0;
  const bool written = count >= STDOUT_DIRECT_PIECE
                           ? write_direct(data, static_cast<size_t>(count))
                           : std::fwrite(data, static_cast<size_t>(count), 1, stdout) == 1;
  if (!written) {
    report_stdout_failure();
    return -1;
  }
  return 0;
}

// Nothing stays buffered between calls: the buffer only cuts a call's data
// into writes of at most its size. A full buffer that could not be written
// keeps its bytes, so the next call tries the same write again first.
int buffered_file_writer(bz_context*, const char* data, int count) {
  while (count > 0) {
    const int room = FILE_WRITER_BUFFER_SIZE - file_writer_fill;
    const int n = count < room ? count : room;
    if (n > 0) std::memcpy(file_writer_buffer + file_writer_fill, data, static_cast<size_t>(n));
    file_writer_fill += n;
    data += n;
    count -= n;
    if (file_writer_fill == FILE_WRITER_BUFFER_SIZE) {
      if (!write_buffer()) {
        std::fputs("vninstall: error writing to output stream\n", stderr);
        return -1;
      }
      file_writer_fill = 0;
    }
  }
  if (file_writer_fill > 0) {
    if (!write_buffer()) std::fputs("vninstall: error writing to output stream(2)\n", stderr);
    file_writer_fill = 0;
  }
  return 0;
}
