// Helper records: an executable stored as it is, written to the work file,
// run through the shell and removed.
#include <unistd.h>

#include <cstdio>

#include "installer.h"
#include "work_file.h"

namespace {

constexpr size_t HELPER_CHUNK = 4096;
constexpr mode_t HELPER_MODE = 0755;
constexpr int HELPER_WRITE_FAILED = -1;
constexpr int HELPER_READ_FAILED = -2;
constexpr int HELPER_RUN_FAILED = -3;

// Copies the body to the work file; 0 or one of the failure results.
int copy_body(int from, int to, uint32_t length) {
  char buffer[HELPER_CHUNK];
  while (length > 0) {
    const size_t chunk = length < HELPER_CHUNK ? length : HELPER_CHUNK;
    if (read_fully(from, buffer, chunk) != chunk) {
      std::printf("Failed to read %d bytes from source\n", static_cast<int>(chunk));
      return HELPER_READ_FAILED;
    }
    if (write(to, buffer, chunk) != static_cast<ssize_t>(chunk)) {
      std::printf("Failed to write %d bytes from source\n", static_cast<int>(chunk));
      return HELPER_WRITE_FAILED;
    }
    length -= static_cast<uint32_t>(chunk);
  }
  return 0;
}

}  // namespace

int handle_helper_record(int fd, const unsigned char* head) {
  char path[WORK_PATH_SIZE];
  const int out = work_file_path(path) ? create_work_file(path, HELPER_MODE) : -1;
  if (out < 0) work_file_creation_failed("Error: cannot create temp output file: %s\n");

  int status = copy_body(fd, out, record_body_length(head));
  // A write the system had not finished before the close counts too.
  if (close(out) != 0 && status == 0) {
    std::printf("Failed to write %s\n", path);
    status = HELPER_WRITE_FAILED;
  }
  if (status != 0) return status;  // not run; the partial copy stays

  const bool ran = run_work_file(path, quiet_install ? "/quiet" : nullptr);
  std::remove(path);
  return ran ? 0 : HELPER_RUN_FAILED;
}
