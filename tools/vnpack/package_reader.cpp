// package_reader.cpp - payload search, header, CRC pass and record walk.
#include "package_reader.h"

#include <sys/stat.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "errors.h"
#include "vnlib.h"

namespace vnpack {

std::optional<uint64_t> find_bytes(int fd, std::string_view needle, const std::string& path) {
  if (needle.empty()) return 0;
  // Each chunk keeps the last needle.size()-1 bytes of the one before, so a
  // text straddling two reads is still found.
  const size_t keep = needle.size() - 1;
  std::vector<char> buf(keep + IO_CHUNK);
  size_t carried = 0;
  uint64_t file_pos = 0;  // file offset of buf[carried]
  for (;;) {
    size_t got = read_at(fd, buf.data() + carried, IO_CHUNK, file_pos, path);
    if (got == 0) return std::nullopt;
    std::string_view window(buf.data(), carried + got);
    size_t hit = window.find(needle);
    if (hit != std::string_view::npos) return file_pos - carried + hit;
    size_t next_carry = window.size() < keep ? window.size() : keep;
    std::memmove(buf.data(), buf.data() + window.size() - next_carry, next_carry);
    file_pos += got;
    carried = next_carry;
  }
}

std::optional<uint64_t> find_magic(int fd, const std::string& path) { return find_bytes(fd, package_magic(), path); }

InstallerFile open_installer(const std::string& path) {
  InstallerFile file;
  file.path = path;
  file.fd = open_for_reading(path);
  // The checks read the file at offsets: a pipe or a device cannot serve.
  struct stat st {};
  if (::fstat(file.fd.get(), &st) != 0) fail_errno(path, "cannot get the file status");
  if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a directory, not an installer");
  if (!S_ISREG(st.st_mode)) throw Failure(path + ": not a regular file (an installer is read from a file)");
  file.size = static_cast<uint64_t>(st.st_size);
  return file;
}

std::optional<PackageHeader> read_header(const InstallerFile& file) {
  auto at = find_magic(file.fd.get(), file.path);
  if (!at) return std::nullopt;
  PackageHeader h;
  h.payload_offset = *at;
  unsigned char raw[PACKAGE_HEADER_SIZE] = {};
  h.header_bytes = read_at(file.fd.get(), raw, sizeof raw, *at, file.path);
  h.magic_terminated = h.header_bytes > MAGIC_LENGTH && raw[MAGIC_LENGTH] == 0;
  if (h.complete()) {
    h.stored_size = vn::LGET32(raw + HEADER_SIZE_OFFSET);
    h.stored_crc = vn::LGET32(raw + HEADER_CRC_OFFSET);
  }
  return h;
}

uint32_t compute_file_crc(const InstallerFile& file, uint64_t payload_offset) {
  return crc_with_zero_field(file.fd.get(), payload_offset + HEADER_CRC_OFFSET, file.path);
}

uint32_t crc_with_zero_field(int fd, uint64_t crc_at, const std::string& path) {
  std::vector<unsigned char> buf(IO_CHUNK);
  vn::crc32_accum(nullptr, 0);
  uint32_t crc = 0;  // the CRC of no bytes: the complemented preset
  for (uint64_t pos = 0;;) {
    size_t got = read_at(fd, buf.data(), buf.size(), pos, path);
    if (got == 0) break;
    // Zero the part of the CRC field this chunk holds.
    for (uint64_t i = crc_at; i < crc_at + 4; ++i)
      if (i >= pos && i < pos + got) buf[i - pos] = 0;
    crc = vn::crc32_accum(buf.data(), static_cast<int32_t>(got));
    pos += got;
  }
  return crc;
}

bool walk_records(const InstallerFile& file, const PackageHeader& header,
                  const std::function<void(const RecordInfo&)>& on_record) {
  using Problem = RecordInfo::Problem;
  uint64_t pos = header.payload_offset + PACKAGE_HEADER_SIZE;
  while (pos < file.size) {
    RecordInfo r;
    r.offset = pos;
    unsigned char head[RECORD_HEAD_SIZE];
    r.head_bytes = read_at(file.fd.get(), head, sizeof head, pos, file.path);
    if (r.head_bytes < RECORD_HEAD_SIZE) {
      r.problem = Problem::head_cut_short;
      on_record(r);
      return false;
    }
    r.length = vn::LGET32(head);
    r.type = head[4];
    uint64_t body_at = pos + RECORD_HEAD_SIZE;
    uint64_t next = body_at + r.length;
    r.body_present = next <= file.size ? r.length : file.size - body_at;
    // Offsets are 32-bit in the installer: a next offset beyond 4 GiB - 1
    // would wrap around to an earlier record.
    if (next > MAX_INSTALLER_SIZE)
      r.problem = Problem::wraps;
    else if (next > file.size)
      r.problem = Problem::runs_past_end;
    on_record(r);
    if (r.problem != Problem::none) return false;
    pos = next;
  }
  return true;
}

}  // namespace vnpack
