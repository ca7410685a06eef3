// tar_writer.cpp - a scanned tree written as ustar.
#include "tar_writer.h"

#include <algorithm>
#include <cstring>


namespace vnpack {

namespace {

// A field of `width` bytes: width-1 octal digits, zero-padded, then NUL.
void put_octal(unsigned char* field, size_t width, uint64_t value) {
  field[width - 1] = '\0';
  for (size_t i = width - 1; i > 0; --i) {
    field[i - 1] = static_cast<unsigned char>('0' + (value & 7));
    value >>= 3;
  }
}

// ustar header field offsets and widths.
constexpr size_t NAME_AT = 0, MODE_AT = 100, UID_AT = 108, GID_AT = 116, SIZE_AT = 124,
                 MTIME_AT = 136, CHKSUM_AT = 148, TYPEFLAG_AT = 156, MAGIC_AT = 257,
                 VERSION_AT = 263, DEVMAJOR_AT = 329, DEVMINOR_AT = 337;

}  // namespace

void encode_tar_header(const TarEntry& entry, unsigned char* block) {
  std::memset(block, 0, TAR_BLOCK);
  std::memcpy(block + NAME_AT, entry.name.data(), std::min(entry.name.size(), TAR_NAME_MAX));
  put_octal(block + MODE_AT, 8, entry.mode);
  put_octal(block + UID_AT, 8, 0);
  put_octal(block + GID_AT, 8, 0);
  put_octal(block + SIZE_AT, 12, entry.is_dir() ? 0 : entry.size);
  put_octal(block + MTIME_AT, 12, 0);
  block[TYPEFLAG_AT] = entry.is_dir() ? '5' : '0';
  std::memcpy(block + MAGIC_AT, "ustar", 6);  // with its NUL
  std::memcpy(block + VERSION_AT, "00", 2);
  put_octal(block + DEVMAJOR_AT, 8, 0);
  put_octal(block + DEVMINOR_AT, 8, 0);

  // The checksum is the byte sum with its own field taken as blanks,
  // stored as six octal digits, NUL, blank.
  std::memset(block + CHKSUM_AT, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < TAR_BLOCK; ++i) sum += block[i];
  put_octal(block + CHKSUM_AT, 7, sum);
  block[CHKSUM_AT + 7] = ' ';
}

namespace {

// Copies the file's data, then its padding.
void write_file_data(const TarEntry& entry, ByteSink& out, const ScanOptions& options) {
  copy_entry_data(entry, out, options.dereference);
  static const char zeros[TAR_BLOCK] = {};
  size_t tail = static_cast<size_t>(entry.size % TAR_BLOCK);
  if (tail != 0) out.write(zeros, TAR_BLOCK - tail);
}

}  // namespace

uint64_t tar_stream_size(const std::vector<TarEntry>& entries) {
  uint64_t size = 2 * TAR_BLOCK;  // the closing zero blocks
  for (const TarEntry& entry : entries) size += TAR_BLOCK + (entry.size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
  return size;
}

void write_tar(const std::vector<TarEntry>& entries, ByteSink& out, const ScanOptions& options) {
  unsigned char block[TAR_BLOCK];
  for (const TarEntry& entry : entries) {
    encode_tar_header(entry, block);
    out.write(block, TAR_BLOCK);
    if (!entry.is_dir()) write_file_data(entry, out, options);
  }
  std::memset(block, 0, TAR_BLOCK);
  out.write(block, TAR_BLOCK);
  out.write(block, TAR_BLOCK);
}

}  // namespace vnpack
