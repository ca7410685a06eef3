// tar_lister.cpp - streaming tar header reader for "vnpack list --contents".
#include "tar_lister.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vnpack {

namespace {

constexpr size_t MODE_AT = 100, UID_AT = 108, GID_AT = 116, SIZE_AT = 124, MTIME_AT = 136, CHKSUM_AT = 148,
                 TYPEFLAG_AT = 156, LINKNAME_AT = 157, MAGIC_AT = 257, PREFIX_AT = 345;

// An octal field: leading blanks, digits, then a NUL, a blank or the end of
// the field. GNU base-256 (high bit of the first byte set) is read too.
std::optional<uint64_t> parse_number(const unsigned char* field, size_t width) {
  if (field[0] & 0x80) {
    uint64_t value = field[0] & 0x7f;
    for (size_t i = 1; i < width; ++i) {
      if (value >> 55) return std::nullopt;
      value = (value << 8) | field[i];
    }
    return value;
  }
  size_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  size_t digits = 0;
  uint64_t value = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
    if (value >> 60) return std::nullopt;
    value = value * 8 + (field[i] - '0');
  }
  if (digits == 0) return std::nullopt;
  if (i < width && field[i] != '\0' && field[i] != ' ') return std::nullopt;
  return value;
}

bool all_zero(const unsigned char* block) {
  return std::all_of(block, block + TAR_BLOCK, [](unsigned char c) { return c == 0; });
}

// Tar programs have summed the header bytes both unsigned and signed.
bool checksum_matches(const unsigned char* block) {
  auto stored = parse_number(block + CHKSUM_AT, 8);
  if (!stored) return false;
  uint64_t sum_unsigned = 0;
  int64_t sum_signed = 0;
  for (size_t i = 0; i < TAR_BLOCK; ++i) {
    bool in_field = i >= CHKSUM_AT && i < CHKSUM_AT + 8;
    unsigned char c = in_field ? ' ' : block[i];
    sum_unsigned += c;
    sum_signed += static_cast<signed char>(c);
  }
  return *stored == sum_unsigned || static_cast<int64_t>(*stored) == sum_signed;
}

}  // namespace

void TarLister::write(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    switch (state_) {
      case State::ended:
      case State::bad_header:
        offset_ += n;
        return;
      case State::data: {
        size_t skip = static_cast<size_t>(std::min<uint64_t>(data_left_, n));
        data_left_ -= skip;
        p += skip;
        n -= skip;
        offset_ += skip;
        if (data_left_ == 0) state_ = State::header;
        break;
      }
      case State::header: {
        if (block_fill_ == 0) header_at_ = offset_;
        size_t take = std::min(TAR_BLOCK - block_fill_, n);
        std::memcpy(block_ + block_fill_, p, take);
        block_fill_ += take;
        p += take;
        n -= take;
        offset_ += take;
        if (block_fill_ == TAR_BLOCK) {
          block_fill_ = 0;
          take_header();
        }
        break;
      }
    }
  }
}

void TarLister::take_header() {
  if (all_zero(block_)) {
    state_ = State::ended;
    return;
  }
  auto fail = [&](const char* why) {
    state_ = State::bad_header;
    bad_header_reason_ = std::string(why) + " at archive offset " + std::to_string(header_at_);
  };
  if (!checksum_matches(block_)) return fail("bad tar header checksum");
  auto mode = parse_number(block_ + MODE_AT, 8);
  auto size = parse_number(block_ + SIZE_AT, 12);
  if (!mode || !size) return fail("bad mode or size in tar header");

  TarListEntry entry;
  const char* name = reinterpret_cast<const char*>(block_);
  entry.name.assign(name, strnlen(name, TAR_NAME_MAX));
  entry.typeflag = static_cast<char>(block_[TYPEFLAG_AT]);
  entry.mode = static_cast<uint32_t>(*mode & 07777);
  entry.size = *size;
  entry.has_prefix = std::memcmp(block_ + MAGIC_AT, "ustar", 5) == 0 && block_[PREFIX_AT] != 0;
  entry.uid = parse_number(block_ + UID_AT, 8).value_or(0);
  entry.gid = parse_number(block_ + GID_AT, 8).value_or(0);
  entry.mtime = static_cast<int64_t>(parse_number(block_ + MTIME_AT, 12).value_or(0));
  const char* linkname = reinterpret_cast<const char*>(block_ + LINKNAME_AT);
  entry.linkname.assign(linkname, strnlen(linkname, TAR_NAME_MAX));
  on_entry_(entry);

  // The unpacker gives a directory no data, whatever its size field says.
  uint64_t data = entry.typeflag == '5' ? 0 : entry.size;
  data_left_ = (data + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
  state_ = data_left_ > 0 ? State::data : State::header;
}

std::string TarLister::problem() const {
  switch (state_) {
    case State::ended: return "";
    case State::bad_header: return bad_header_reason_;
    case State::data: return "tar archive cut short inside an entry's data";
    case State::header:
      if (block_fill_ > 0) return "tar archive cut short inside a header";
      return "tar archive has no end-of-archive block";
  }
  return "";
}

std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void UnpackAudit::note(const TarListEntry& entry) {
  const char* what = nullptr;
  switch (entry.typeflag) {
    case 'x':
    case 'g': what = "an extended header, unpacked as a file of its own"; break;
    case 'L':
    case 'K': what = "a long-name header, unpacked as a file of its own"; break;
    // The type-2 unpacker makes every entry but a directory a regular file
    // of the header's size, which a link does not have.
    case '1': what = "a hard link, unpacked as an empty file"; break;
    case '2': what = "a symbolic link, unpacked as an empty file"; break;
    case '0':
    case '\0':
      // Old archives mark a directory by the name alone.
      if (!entry.name.empty() && entry.name.back() == '/') what = "a directory without its type, taken for a file";
      [[fallthrough]];
    default:
      if (what == nullptr && entry.has_prefix) what = "a name longer than 100 bytes, unpacked under its last part only";
      break;
  }
  if (what == nullptr) return;
  if (count_++ == 0) first_ = "'" + printable(entry.name) + "', " + what;
}

std::string UnpackAudit::summary() const {
  if (count_ == 0) return "";
  return std::to_string(count_) + (count_ == 1 ? " entry" : " entries") +
         " the installer does not unpack as meant (first: " + first_ +
         "); --tar with --compress zstd converts such an archive so that it unpacks as meant (or write it in ustar "
         "format with names of at most 100 bytes and no links)";
}

}  // namespace vnpack
