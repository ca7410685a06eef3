// package_format.cpp - header and record-head encoding, record type names.
#include "package_format.h"

#include <cstring>

#include "vnlib.h"

namespace vnpack {

std::string_view record_type_name(unsigned type) {
  switch (type) {
    case RECORD_WELCOME: return "welcome";
    case RECORD_ARCHIVE:
    case RECORD_ARCHIVE_ALT: return "archive";
    case RECORD_HELPER: return "helper";
    case RECORD_SCRIPT: return "script";
    case RECORD_ENV: return "env";
    default: return "unknown";
  }
}

bool is_archive_record(unsigned type) {
  return type == RECORD_ARCHIVE || type == RECORD_ARCHIVE_ALT;
}

namespace {
// Read through a volatile pointer, so the optimiser cannot fold the two
// pieces into one constant.
const char* volatile magic_tail = PACKAGE_MAGIC_SECOND_PIECE;
}  // namespace

const std::string& package_magic() {
  static const std::string magic = std::string(PACKAGE_MAGIC_FIRST_PIECE) + magic_tail;
  return magic;
}

void encode_header(unsigned char* header, uint32_t package_size) {
  std::memset(header, 0, PACKAGE_HEADER_SIZE);
  std::memcpy(header, package_magic().data(), MAGIC_LENGTH);
  vn::LPUT32(header + HEADER_SIZE_OFFSET, package_size);
}

void encode_record_head(unsigned char* head, uint32_t body_length, unsigned type) {
  vn::LPUT32(head, body_length);
  head[4] = static_cast<unsigned char>(type);
}

}  // namespace vnpack
