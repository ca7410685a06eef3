// pax_archive.h - the tar of a zstd archive record (type 20): a scanned
// tree, or an input archive converted, written through a PaxWriter.
//
// Both keep what the installer restores (names of any length, directories,
// regular files, symbolic links, hard links, permission bits, modification
// times in whole seconds) and drop what it does not: owners (stored as
// 0/0 without names), access and change times, extended attributes, ACLs
// and file flags.
#ifndef VNPACK_PAX_ARCHIVE_H
#define VNPACK_PAX_ARCHIVE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive_io.h"
#include "tree_scan.h"

namespace vnpack {

struct PaxOptions {
  bool dereference = false;
  // Later modification times are lowered to this one (--mtime,
  // SOURCE_DATE_EPOCH), for archives that do not depend on when the files
  // were made.
  std::optional<int64_t> mtime_limit;
};

// The scanned entries in their order. Regular files sharing an inode
// become one file and hard links to it, in the order of their names.
void write_pax_tree(const std::vector<TarEntry>& entries, ByteSink& out, const PaxOptions& options);

// What converting an archive found worth a warning.
struct ConvertReport {
  uint64_t leading_slashes_removed = 0;  // names and hard-link targets
};

// Converts every entry of the archive `input` hands out (any format and
// compression libarchive reads) in its order. Entries the installer would
// refuse or not create (".." components, hard links to no earlier entry,
// devices, FIFOs, sockets) are all named in one Failure. A leading "/" is
// removed, as the installer would.
ConvertReport convert_to_pax(const std::string& path, const PullSource& input, const SeekFunction& seek,
                             ByteSink& out, const PaxOptions& options);

}  // namespace vnpack

#endif  // VNPACK_PAX_ARCHIVE_H
