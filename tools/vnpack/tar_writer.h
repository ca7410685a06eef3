// tar_writer.h - a directory tree as a POSIX ustar archive, streamed.
//
// The tree is scanned first (names, modes and sizes only; refusals happen
// here, before anything is written), then written entry by entry with file
// data copied in chunks, so neither a file nor the archive is ever whole in
// memory. Output is reproducible: names sorted bytewise, owner 0, mtime 0.
#ifndef VNPACK_TAR_WRITER_H
#define VNPACK_TAR_WRITER_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "file_io.h"

namespace vnpack {

constexpr size_t TAR_BLOCK = 512;
constexpr size_t TAR_NAME_MAX = 100;           // the name field, no prefix used
constexpr uint64_t TAR_SIZE_LIMIT = 1ull << 33;  // 11 octal digits: up to 8 GiB - 1

struct TarEntry {
  std::string name;    // in the archive; a directory's ends in '/'
  std::string source;  // the path to read it from
  bool is_dir = false;
  uint32_t mode = 0;   // permission bits only
  uint64_t size = 0;   // 0 for directories
};

// A file's device and inode: the same pair is the same file.
using FileId = std::pair<dev_t, ino_t>;

struct ScanOptions {
  bool dereference = false;  // store what symbolic links point to
  // The installer being written, when a file of that name exists already:
  // an archive of the directory it lies in must not hold the old one.
  std::optional<FileId> left_out;
};

// Every entry under dir (dir itself excluded), sorted bytewise by name, so
// each directory comes before what it holds. A Failure naming the path for
// anything the archive cannot hold. The path of a file left out goes to
// *left_out_path.
std::vector<TarEntry> scan_tree(const std::string& dir, const ScanOptions& options,
                                std::string* left_out_path = nullptr);

// The 512-byte ustar header of an entry.
void encode_tar_header(const TarEntry& entry, unsigned char* block);

// The number of bytes write_tar writes for these entries.
uint64_t tar_stream_size(const std::vector<TarEntry>& entries);

// Writes the entries, their data and the two closing zero blocks. A file
// whose size changed since the scan is a Failure.
void write_tar(const std::vector<TarEntry>& entries, ByteSink& out, const ScanOptions& options);

}  // namespace vnpack

#endif  // VNPACK_TAR_WRITER_H
