// Archive records: a tar archive in a bzip2 stream (or, for type 20, in
// Zstandard frames), decompressed straight from the installer's own file and
// unpacked into the current directory, or in archive output mode copied
// unchanged to standard output.
#include <unistd.h>

#include <cstdio>

#include "archive.h"
#include "decompress_ahead.h"
#include "installer.h"
#include "pax.h"

int handle_archive_record(int fd, const unsigned char* head) {
  const uint32_t length = record_body_length(head);
  if (!gz_install) std::fputs("\n", stdout);

  const off_t body_offset = lseek(fd, 0, SEEK_CUR);
  if (body_offset < 0) return 1;
  feed_start(static_cast<uint32_t>(body_offset), length);
  // Type 20 is unpacked with full tar meaning, inside the install
  // directory; types 2 and 10 keep the rules their stored packages rely on.
  const bool pax = head[4] == RECORD_ZSTD_ARCHIVE;
  bz_writer writer = stdout_writer;
  if (!gz_install) {
    writer = pax ? pax_writer : tar_writer;
    if (pax) pax_writer_reset();
    else tar_writer_reset();
  }

  int failed = pax ? zstd_unzip_frames(0, record_reader, writer) : decompress_ahead(bzunzip, 0, record_reader, writer);
  if (!gz_install && (pax ? pax_writer_finish() : tar_writer_finish()) != 0) failed = 1;
  // The file ended inside the body the head promised. Unless the archive
  // came out whole before that, the package is cut short.
  if (feed_body_missing() && (failed != 0 || feed_bytes_handed_out() == 0)) {
    std::fflush(stdout);
    std::fputs("Premature EOF reading archive\n", stderr);
    failed = 1;
  }
  // Later records may start programs that write to the same output.
  if (gz_install) {
    if (stdout_write_failed()) failed = 1;
  } else {
    std::fflush(stdout);
  }
  return failed != 0 ? 1 : 0;
}
