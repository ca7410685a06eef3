// tar_writer.h - a scanned directory tree as the POSIX ustar archive of a
// bzip2 archive record (type 2), streamed.
//
// Entry by entry with file data copied in chunks, so neither a file nor the
// archive is ever whole in memory. Output is reproducible: names sorted
// bytewise, owner 0, mtime 0 (the type-2 unpacker uses neither).
#ifndef VNPACK_TAR_WRITER_H
#define VNPACK_TAR_WRITER_H

#include <cstdint>
#include <vector>

#include "file_io.h"
#include "tree_scan.h"

namespace vnpack {

constexpr size_t TAR_BLOCK = 512;
constexpr size_t TAR_NAME_MAX = 100;           // the name field, no prefix used
constexpr uint64_t TAR_SIZE_LIMIT = 1ull << 33;  // 11 octal digits: up to 8 GiB - 1

// The 512-byte ustar header of an entry.
void encode_tar_header(const TarEntry& entry, unsigned char* block);

// The number of bytes write_tar writes for these entries.
uint64_t tar_stream_size(const std::vector<TarEntry>& entries);

// Writes the entries, their data and the two closing zero blocks. A file
// whose size changed since the scan is a Failure.
void write_tar(const std::vector<TarEntry>& entries, ByteSink& out, const ScanOptions& options);

}  // namespace vnpack

#endif  // VNPACK_TAR_WRITER_H
