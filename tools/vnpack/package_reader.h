// package_reader.h - finding and checking the package inside an installer
// file, and walking its records safely whatever the file holds.
#ifndef VNPACK_PACKAGE_READER_H
#define VNPACK_PACKAGE_READER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "file_io.h"
#include "package_format.h"

namespace vnpack {

// Offset of the first occurrence of needle in the file, searched from its
// start.
std::optional<uint64_t> find_bytes(int fd, std::string_view needle, const std::string& path);

// Offset of the first occurrence of the 14 magic bytes, as the installer
// searches for it (from the start of the file).
std::optional<uint64_t> find_magic(int fd, const std::string& path);

struct PackageHeader {
  uint64_t payload_offset = 0;
  size_t header_bytes = 0;      // of the 172 present in the file
  bool magic_terminated = false;  // a zero byte follows the magic
  uint32_t stored_size = 0;
  uint32_t stored_crc = 0;
  bool complete() const { return header_bytes == PACKAGE_HEADER_SIZE; }
};

// An installer file opened for inspection.
struct InstallerFile {
  std::string path;
  Fd fd;
  uint64_t size = 0;
};
InstallerFile open_installer(const std::string& path);

// The header at the first magic, or nothing when the file holds no magic.
std::optional<PackageHeader> read_header(const InstallerFile& file);

// The CRC over the whole file with the header's CRC field taken as zero.
uint32_t compute_file_crc(const InstallerFile& file, uint64_t payload_offset);
// The same over any open file; the four bytes at crc_field_at count as zero.
uint32_t crc_with_zero_field(int fd, uint64_t crc_field_at, const std::string& path);

// Package size the file actually holds behind the payload offset.
inline uint64_t actual_package_size(const InstallerFile& file, const PackageHeader& h) {
  return file.size - h.payload_offset;
}

struct RecordInfo {
  enum class Problem {
    none,
    head_cut_short,  // fewer than 5 bytes left for the record head
    runs_past_end,   // the body goes beyond the end of the file
    wraps,           // the next record's offset is past 4 GiB
  };
  uint64_t offset = 0;        // absolute
  size_t head_bytes = 0;      // present, when the head is cut short
  uint32_t length = 0;
  unsigned type = 0;
  uint64_t body_present = 0;  // body bytes inside the file
  Problem problem = Problem::none;
};

// Calls on_record for each record in file order. The walk stops after the
// first record with a problem; it always ends. Returns false when a record
// had a problem.
bool walk_records(const InstallerFile& file, const PackageHeader& header,
                  const std::function<void(const RecordInfo&)>& on_record);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_READER_H
