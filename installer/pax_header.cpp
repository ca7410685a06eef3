// Decoding of tar header blocks and pax extended headers for the type-20
// reader: names with the ustar prefix, checksums, times in octal or
// base-256, and the keywords of extended headers that change an entry's
// meaning (path, linkpath, size, mtime). Other keywords (owners, access
// times, extended attributes) are not used.
#include <cstring>

#include "archive.h"
#include "pax.h"

namespace {

constexpr size_t NAME_OFFSET = 0, NAME_WIDTH = 100;
constexpr size_t MTIME_OFFSET = 136, MTIME_WIDTH = 12;
constexpr size_t CHECKSUM_OFFSET = 148, CHECKSUM_WIDTH = 8;
constexpr size_t LINKNAME_OFFSET = 157, LINKNAME_WIDTH = 100;
constexpr size_t MAGIC_OFFSET = 257;
constexpr size_t PREFIX_OFFSET = 345, PREFIX_WIDTH = 155;
constexpr long NANOSECONDS_PER_SECOND = 1000000000;
constexpr int FRACTION_DIGITS = 9;

// A field's text up to its first NUL or its end.
size_t field_length(const unsigned char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  return nul == nullptr ? width : static_cast<size_t>(static_cast<const unsigned char*>(nul) - field);
}

// POSIX ustar headers ("ustar" and a NUL) have the prefix field; GNU
// headers ("ustar  ") keep other data in those bytes.
bool has_prefix_field(const unsigned char* block) { return std::memcmp(block + MAGIC_OFFSET, "ustar\0", 6) == 0; }

bool parse_decimal(const char* text, size_t length, uint64_t* value) {
  if (length == 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9' || v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  *value = v;
  return true;
}

// "[-]SECONDS[.FRACTION]", the fraction taken to nanoseconds.
bool parse_time(const char* text, size_t length, pax_time* time) {
  const bool negative = length > 0 && text[0] == '-';
  const size_t start = negative ? 1 : 0;
  const void* dot = std::memchr(text + start, '.', length - start);
  const size_t whole_end = dot == nullptr ? length : static_cast<size_t>(static_cast<const char*>(dot) - text);
  uint64_t seconds = 0;
  if (!parse_decimal(text + start, whole_end - start, &seconds) || seconds > INT64_MAX / 2) return false;
  long nanoseconds = 0;
  int digits = 0;
  for (size_t i = whole_end + 1; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (digits < FRACTION_DIGITS) nanoseconds = nanoseconds * 10 + (text[i] - '0'), ++digits;
  }
  for (; digits < FRACTION_DIGITS; ++digits) nanoseconds *= 10;
  time->seconds = static_cast<int64_t>(seconds);
  time->nanoseconds = nanoseconds;
  if (negative) {
    time->seconds = -time->seconds;
    if (nanoseconds > 0) time->seconds -= 1, time->nanoseconds = NANOSECONDS_PER_SECOND - nanoseconds;
  }
  return true;
}

// path and linkpath: an empty value takes the keyword back, so that the
// header's own field counts again.
void set_name(char* dest, bool* has, bool* too_long, const char* value, size_t length) {
  *has = length > 0;
  if (length >= PAX_NAME_LIMIT) {
    *too_long = true;
    *has = false;
    return;
  }
  std::memcpy(dest, value, length);
  dest[length] = '\0';
}

bool apply_record(const char* key, size_t key_length, const char* value, size_t length, pax_values* v) {
  const auto is = [&](const char* word) { return key_length == std::strlen(word) && std::memcmp(key, word, key_length) == 0; };
  if (is("path")) {
    set_name(v->path, &v->has_path, &v->name_too_long, value, length);
  } else if (is("linkpath")) {
    set_name(v->linkpath, &v->has_linkpath, &v->name_too_long, value, length);
  } else if (is("size")) {
    v->has_size = length > 0;
    return length == 0 || parse_decimal(value, length, &v->size);
  } else if (is("mtime")) {
    v->has_mtime = length > 0;
    return length == 0 || parse_time(value, length, &v->mtime);
  } else if (key_length > 11 && std::memcmp(key, "GNU.sparse.", 11) == 0) {
    v->sparse = true;
  }
  return true;
}

}  // namespace

bool pax_block_is_zero(const unsigned char* block) {
  for (size_t i = 0; i < PAX_BLOCK_SIZE; ++i)
    if (block[i] != 0) return false;
  return true;
}

bool pax_checksum_ok(const unsigned char* block) {
  const unsigned char* field = block + CHECKSUM_OFFSET;
  size_t i = 0;
  while (i < CHECKSUM_WIDTH && field[i] == ' ') ++i;
  if (i == CHECKSUM_WIDTH || field[i] < '0' || field[i] > '7') return false;
  const uint64_t stored = tar_parse_octal(field, CHECKSUM_WIDTH);
  // The checksum field itself counts as eight blanks.
  uint64_t unsigned_sum = ' ' * CHECKSUM_WIDTH;
  int64_t signed_sum = ' ' * CHECKSUM_WIDTH;
  for (size_t k = 0; k < PAX_BLOCK_SIZE; ++k) {
    if (k >= CHECKSUM_OFFSET && k < CHECKSUM_OFFSET + CHECKSUM_WIDTH) continue;
    unsigned_sum += block[k];
    signed_sum += static_cast<signed char>(block[k]);
  }
  return stored == unsigned_sum || static_cast<int64_t>(stored) == signed_sum;
}

size_t pax_header_name(const unsigned char* block, char* out) {
  size_t length = 0;
  if (has_prefix_field(block)) {
    length = field_length(block + PREFIX_OFFSET, PREFIX_WIDTH);
    std::memcpy(out, block + PREFIX_OFFSET, length);
    if (length > 0) out[length++] = '/';
  }
  const size_t name_length = field_length(block + NAME_OFFSET, NAME_WIDTH);
  std::memcpy(out + length, block + NAME_OFFSET, name_length);
  length += name_length;
  out[length] = '\0';
  return length;
}

size_t pax_header_linkname(const unsigned char* block, char* out) {
  const size_t length = field_length(block + LINKNAME_OFFSET, LINKNAME_WIDTH);
  std::memcpy(out, block + LINKNAME_OFFSET, length);
  out[length] = '\0';
  return length;
}

pax_time pax_header_mtime(const unsigned char* block) {
  const unsigned char* field = block + MTIME_OFFSET;
  if ((field[0] & 0x80) == 0) return {static_cast<int64_t>(tar_parse_octal(field, MTIME_WIDTH)), 0};
  // Base-256, two's complement: a first byte 0xff marks a negative value.
  uint64_t value = (field[0] & 0x40) != 0 ? UINT64_MAX : 0;
  for (size_t i = 1; i < MTIME_WIDTH; ++i) value = (value << 8) | field[i];
  return {static_cast<int64_t>(value), 0};
}

int pax_parse_extended(const char* data, size_t size, pax_values* values) {
  size_t pos = 0;
  // Some writers pad the data with NUL bytes.
  while (pos < size && data[pos] != '\0') {
    const char* space = static_cast<const char*>(std::memchr(data + pos, ' ', size - pos));
    uint64_t length = 0;
    if (space == nullptr || !parse_decimal(data + pos, static_cast<size_t>(space - data) - pos, &length)) return -1;
    const size_t length_digits = static_cast<size_t>(space - data) - pos;
    // The record holds at least its length, the blank, "=" and the newline.
    if (length < length_digits + 3 || length > size - pos || data[pos + length - 1] != '\n') return -1;
    const char* key = space + 1;
    const char* end = data + pos + length - 1;  // the newline
    const char* equals = key < end ? static_cast<const char*>(std::memchr(key, '=', static_cast<size_t>(end - key))) : nullptr;
    if (equals == nullptr) return -1;
    if (!apply_record(key, static_cast<size_t>(equals - key), equals + 1, static_cast<size_t>(end - equals - 1), values)) return -1;
    pos += static_cast<size_t>(length);
  }
  return 0;
}
