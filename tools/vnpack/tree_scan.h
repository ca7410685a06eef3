// tree_scan.h - the entries of a directory tree that an --archive item
// stores, gathered before anything is written.
//
// The scan takes names, kinds, modes, sizes, times and link targets; every
// refusal happens here, so a tree that cannot be archived stops the build
// before anything is compressed. Entries come sorted bytewise by name, which
// makes the archive the same for the same tree.
#ifndef VNPACK_TREE_SCAN_H
#define VNPACK_TREE_SCAN_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "file_io.h"

namespace vnpack {

// A file's device and inode: the same pair is the same file.
using FileId = std::pair<dev_t, ino_t>;

enum class EntryKind { file, dir, symlink };

struct TarEntry {
  std::string name;    // in the archive; a directory's ends in '/'
  std::string source;  // the path to read it from
  EntryKind kind = EntryKind::file;
  uint32_t mode = 0;   // permission bits (and set-id and sticky bits for zstd)
  uint64_t size = 0;   // of a regular file; 0 otherwise
  int64_t mtime = 0;   // whole seconds since the Epoch
  FileId id{};         // of a regular file, to find its other names
  unsigned nlink = 1;  // of a regular file
  std::string link_target;  // of a symbolic link, as readlink gives it
  bool is_dir() const { return kind == EntryKind::dir; }
};

struct ScanOptions {
  bool dereference = false;  // store what symbolic links point to
  // Symbolic links as links and names of any length (zstd archives, whose
  // tar is pax); without it only what a ustar name field holds.
  bool full_tar = false;
  // The installer being written, when a file of that name exists already:
  // an archive of the directory it lies in must not hold the old one.
  std::optional<FileId> left_out;
};

// Every entry under dir (dir itself excluded), sorted bytewise by name, so
// each directory comes before what it holds. Entries the archive cannot
// hold are all named in one Failure, one line each. The path of a file
// left out goes to *left_out_path.
std::vector<TarEntry> scan_tree(const std::string& dir, const ScanOptions& options,
                                std::string* left_out_path = nullptr);

// Copies exactly entry.size bytes of a scanned regular file; a file whose
// size changed since the scan is a Failure.
void copy_entry_data(const TarEntry& entry, ByteSink& out, bool dereference);

}  // namespace vnpack

#endif  // VNPACK_TREE_SCAN_H
