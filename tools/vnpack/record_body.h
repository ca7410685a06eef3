// record_body.h - the body of one record of a build: an item's input
// copied, compressed or converted into the installer being written.
#ifndef VNPACK_RECORD_BODY_H
#define VNPACK_RECORD_BODY_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "file_io.h"
#include "output_file.h"
#include "pax_archive.h"
#include "progress.h"
#include "tree_scan.h"

namespace vnpack {

// An item with what the checks found out about it.
struct PreparedItem {
  const BuildItem* item = nullptr;
  Fd fd;                          // raw, tar, bz2
  bool regular = false;
  uint64_t size = 0;              // of a regular input file
  std::vector<TarEntry> entries;  // archive
  std::string left_out;           // archive: the old output, not stored
  std::string unpack_warning;     // tar, bz2: entries not unpacked as meant
};

// Refuses a --bz2 file that is no complete bzip2 stream of a whole tar
// archive, and notes the entries the type-2 unpacker would not unpack as
// meant.
void check_bz2(PreparedItem& p);

// Copies exactly `size` bytes, refusing a file that changed since it was
// checked.
void copy_exact(int fd, uint64_t size, const std::string& path, ByteSink& out);

// The item's record body into `out`; input bytes pass through `meter`.
void write_body(PreparedItem& p, OutputFile& out, const PaxOptions& pax, unsigned jobs, ProgressMeter& meter);

}  // namespace vnpack

#endif  // VNPACK_RECORD_BODY_H
