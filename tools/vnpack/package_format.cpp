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
    case RECORD_ZSTD_ARCHIVE: return "zstd-tar";
    case RECORD_SIGNATURE: return "signature";
    default: return "unknown";
  }
}

bool is_archive_record(unsigned type) {
  return type == RECORD_ARCHIVE || type == RECORD_ARCHIVE_ALT || type == RECORD_ZSTD_ARCHIVE;
}

namespace {
// Read through a volatile pointer, so the optimiser cannot fold the two
// pieces into one constant.
const char* volatile magic_tail = PACKAGE_MAGIC_SECOND_PIECE;
const char* volatile zstd_marker_tail = ZSTD_SUPPORT_MARKER_TAIL;
const char* volatile signature_marker_tail = SIGNATURE_SUPPORT_MARKER_TAIL;
}  // namespace

const std::string& package_magic() {
  static const std::string magic = std::string(PACKAGE_MAGIC_FIRST_PIECE) + magic_tail;
  return magic;
}

const std::string& zstd_support_marker() {
  static const std::string marker = std::string(ZSTD_SUPPORT_MARKER_HEAD) + zstd_marker_tail;
  return marker;
}

const std::string& signature_support_marker() {
  static const std::string marker = std::string(SIGNATURE_SUPPORT_MARKER_HEAD) + signature_marker_tail;
  return marker;
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
