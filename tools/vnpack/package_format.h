// package_format.h - the layout of a vninstall package as vnpack writes and
// reads it: the 172-byte header behind the installer program, then records
// of a 5-byte head (32-bit big-endian body length, type byte) and a body.
#ifndef VNPACK_PACKAGE_FORMAT_H
#define VNPACK_PACKAGE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vnpack {

constexpr size_t PACKAGE_HEADER_SIZE = 172;
constexpr size_t MAGIC_LENGTH = 14;          // without the zero byte behind it
constexpr size_t HEADER_SIZE_OFFSET = 24;    // package size, big-endian
constexpr size_t HEADER_CRC_OFFSET = 28;     // file CRC, big-endian
constexpr size_t RECORD_HEAD_SIZE = 5;

// Offsets and sizes in the package are unsigned 32-bit.
constexpr uint64_t MAX_INSTALLER_SIZE = 0xFFFFFFFFull;

// An environment record body, its terminating zero included, stays below
// the installer's 1024-byte buffer.
constexpr size_t MAX_ENV_BODY = 1023;

enum RecordType : unsigned {
  RECORD_WELCOME = 1,
  RECORD_ARCHIVE = 2,
  RECORD_HELPER = 7,
  RECORD_ARCHIVE_ALT = 10,
  RECORD_SCRIPT = 11,
  RECORD_ENV = 12,
};

// "welcome", "archive", "helper", "script", "env" or "unknown".
std::string_view record_type_name(unsigned type);
bool is_archive_record(unsigned type);

// The 14 magic bytes. Built at run time from two pieces so that no program
// of ours holds them contiguously: the installer searches its own file for
// the first occurrence, and vnpack must not look like a package either.
const std::string& package_magic();

// A fresh header: magic, zero byte, given package size, CRC field zero.
void encode_header(unsigned char* header, uint32_t package_size);

void encode_record_head(unsigned char* head, uint32_t body_length, unsigned type);

uint32_t get_be32(const unsigned char* p);
void put_be32(unsigned char* p, uint32_t value);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_FORMAT_H
