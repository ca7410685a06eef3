// tar_lister.h - reads a tar archive pushed to it in arbitrary pieces and
// reports each entry header, the way the type-2 unpacker will see it: name
// (up to 100 bytes), typeflag, mode and size; directories have no data.
#ifndef VNPACK_TAR_LISTER_H
#define VNPACK_TAR_LISTER_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "file_io.h"
#include "tar_writer.h"

namespace vnpack {

struct TarListEntry {
  std::string name;
  char typeflag = '0';
  uint32_t mode = 0;
  uint64_t size = 0;
  // Read for the listing only (0 or empty when unreadable): the unpacker
  // uses none of them.
  uint64_t uid = 0;
  uint64_t gid = 0;
  int64_t mtime = 0;
  std::string linkname;
  bool has_prefix = false;  // a ustar prefix holds the start of the name
};

// The text with control characters and backslashes written as \ooo, so
// that a name from an archive cannot play tricks on the terminal.
std::string printable(std::string_view text);

class TarLister : public ByteSink {
 public:
  using Callback = std::function<void(const TarListEntry&)>;
  explicit TarLister(Callback on_entry) : on_entry_(std::move(on_entry)) {}

  void write(const void* data, size_t n) override;

  enum class State { header, data, ended, bad_header };
  // After the last byte: true when the archive ended with its zero block.
  bool ended() const { return state_ == State::ended; }
  // The input stopped at an entry boundary without the end-of-archive
  // block: nothing is lost, but the archive is not properly closed.
  bool lacks_end_block() const { return state_ == State::header && block_fill_ == 0; }
  // Empty when the archive is whole; otherwise what is wrong with it.
  std::string problem() const;

 private:
  void take_header();

  Callback on_entry_;
  State state_ = State::header;
  unsigned char block_[TAR_BLOCK] = {};
  size_t block_fill_ = 0;
  uint64_t data_left_ = 0;  // data and padding still to skip
  uint64_t offset_ = 0;     // archive bytes seen
  uint64_t header_at_ = 0;  // archive offset of the header being collected
  std::string bad_header_reason_;
};

// Counts the entries that the installer, which reads only the name field,
// mode, size and typeflag of each header, would not unpack as the archive
// means them: extended (pax) and long-name headers become files of their
// own, and a name split into prefix and name loses its prefix.
class UnpackAudit {
 public:
  void note(const TarListEntry& entry);
  // Empty when every entry unpacks as meant; otherwise one line naming the
  // first such entry.
  std::string summary() const;

 private:
  uint64_t count_ = 0;
  std::string first_;
};

}  // namespace vnpack

#endif  // VNPACK_TAR_LISTER_H
