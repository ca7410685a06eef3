// The record walk: every record after the package header, in file order,
// handed to the handler of its type.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "installer.h"
#include "vnlib.h"

namespace {

struct record_kind {
  record_handler handler;
  bool result_counts;  // a nonzero result makes the installation fail
};

// Types without an entry end the run as a damaged package.
constexpr int RECORD_TYPE_COUNT = 256;
struct dispatch_table {
  record_kind kinds[RECORD_TYPE_COUNT] = {};
  constexpr dispatch_table() {
    kinds[RECORD_WELCOME] = {handle_welcome_record, false};
    kinds[RECORD_ARCHIVE] = {handle_archive_record, true};
    kinds[RECORD_HELPER] = {handle_helper_record, true};
    kinds[RECORD_ARCHIVE_ALT] = {handle_archive_record, true};
    kinds[RECORD_SCRIPT] = {handle_script_record, true};
    kinds[RECORD_ENV] = {handle_env_record, false};
    kinds[RECORD_ZSTD_ARCHIVE] = {handle_archive_record, true};
    kinds[RECORD_SIGNATURE] = {handle_signature_record, false};
  }
};
constexpr dispatch_table record_dispatch;

bool read_record_head(uint64_t offset, unsigned char* head) {
  if (lseek(package_fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  return read_fully(package_fd, head, RECORD_HEAD_SIZE) == RECORD_HEAD_SIZE;
}

}  // namespace

uint32_t record_body_length(const unsigned char* head) { return vn::LGET32(head); }

int run_package_records(uint32_t payload_offset, uint64_t file_size) {
  int install_failed = 0;
  // 64-bit offsets: a length near 2^32 must not wrap the walk back to an
  // earlier record; it runs past the end of the file and ends the walk.
  uint64_t offset = static_cast<uint64_t>(payload_offset) + PACKAGE_HEADER_SIZE;
  while (offset < file_size) {
    unsigned char head[RECORD_HEAD_SIZE];
    if (!read_record_head(offset, head)) {
      std::fflush(stdout);  // what earlier records printed comes first
      std::fputs("Error extracting package -- premature EOF detected.\n", stderr);
      std::exit(1);
    }
    const record_kind& kind = record_dispatch.kinds[head[4]];
    if (kind.handler == nullptr) {
      std::fflush(stdout);
      std::fputs("Unexpected error in package file\n", stderr);
      std::exit(1);
    }
    if (kind.handler(package_fd, head) != 0 && kind.result_counts) install_failed = 1;
    offset += RECORD_HEAD_SIZE + static_cast<uint64_t>(record_body_length(head));
  }
  return install_failed;
}
