// archive_io.h - libarchive wrapped for vnpack: a reader of archives pulled
// from a source, and the writer of the tar that zstd archive records hold.
//
// The writer uses the pax format restricted to what needs it: a ustar
// header for every entry, its name split into prefix and name where that
// fits, and a pax extended header only for what ustar cannot hold (a longer
// name or link target, a size of 8 GiB or more, a time out of its range).
// Owners are 0/0 without names, and no access or change times are stored,
// so the bytes depend on the entries alone.
#ifndef VNPACK_ARCHIVE_IO_H
#define VNPACK_ARCHIVE_IO_H

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "file_io.h"

// libarchive's handles. Its header is included only where it is used: the
// installer's headers, which other vnpack files see, have one of that name.
struct archive;
struct archive_entry;

namespace vnpack {

struct ArchiveCallbacks;

enum class PaxType { file, dir, symlink, hardlink };

struct PaxEntry {
  std::string name;
  PaxType type = PaxType::file;
  uint32_t mode = 0;    // permission bits
  uint64_t size = 0;    // data bytes of a file; 0 otherwise
  int64_t mtime = 0;    // seconds
  std::string target;   // of a symbolic or hard link
  long mtime_nsec = 0;  // and nanoseconds of mtime, as a converted tar gives them
};

class PaxWriter : public ByteSink {
 public:
  explicit PaxWriter(ByteSink& out);
  PaxWriter(const PaxWriter&) = delete;
  PaxWriter& operator=(const PaxWriter&) = delete;
  ~PaxWriter() override;

  // The header of the next entry; a file's size bytes follow through write().
  void add(const PaxEntry& entry);
  void write(const void* data, size_t n) override;
  // The closing zero blocks.
  void finish();

 private:
  friend struct ArchiveCallbacks;
  [[noreturn]] void fail(const std::string& what);

  struct archive* archive_;
  struct archive_entry* entry_;
  ByteSink& out_;
  std::exception_ptr sink_error_;  // thrown by out_, carried across libarchive
  bool finished_ = false;
  bool discarding_ = false;  // being freed unfinished
};

// Hands out up to n bytes of the archive; 0 at its end. May throw.
using PullSource = std::function<size_t(char* buf, size_t n)>;
// Moves to an offset (whence as lseek); -1 when it cannot.
using SeekFunction = std::function<int64_t(int64_t offset, int whence)>;

class ArchiveReader {
 public:
  enum class Formats {
    tar,  // a tar archive of any dialect, not compressed
    any,  // what users have: tar, cpio, zip, 7z, ..., compressed or not
  };
  // `seek` may be empty; with it, formats that need seeking (zip's central
  // directory, 7z) are read too. libarchive's descriptions of damage are
  // thrown after `context` (which names the input); what the source throws
  // passes as it is.
  ArchiveReader(PullSource source, Formats formats, SeekFunction seek = {}, std::string context = "");
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;
  ~ArchiveReader();

  // The next entry, or null at the end of the archive. Damage is a Failure
  // with libarchive's description.
  struct archive_entry* next();
  // Up to n data bytes of the current entry; 0 at its end.
  size_t read(void* buf, size_t n);

 private:
  friend struct ArchiveCallbacks;
  [[noreturn]] void fail();

  struct archive* archive_;
  PullSource source_;
  SeekFunction seek_;
  std::string context_;
  std::vector<char> buf_;
  std::exception_ptr source_error_;
};

}  // namespace vnpack

#endif  // VNPACK_ARCHIVE_IO_H
