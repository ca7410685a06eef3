// package_format.h - the layout of a vninstall package as vnpack writes and
// reads it: the 172-byte header behind the installer program, then records
// of a 5-byte head (32-bit big-endian body length, type byte) and a body.
#ifndef VNPACK_PACKAGE_FORMAT_H
#define VNPACK_PACKAGE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "package_layout.h"

namespace vnpack {

using ::HEADER_CRC_OFFSET;
using ::HEADER_SIZE_OFFSET;
using ::PACKAGE_HEADER_SIZE;
using ::RECORD_HEAD_SIZE;
using ::record_type;
using enum ::record_type;
constexpr size_t MAGIC_LENGTH = PACKAGE_MAGIC_LENGTH;
constexpr size_t MAX_ENV_BODY = ENV_BODY_MAX;

// Offsets and sizes in the package are unsigned 32-bit.
constexpr uint64_t MAX_INSTALLER_SIZE = 0xFFFFFFFFull;

// "welcome", "archive", "helper", "script", "env", "zstd-tar" or "unknown".
std::string_view record_type_name(unsigned type);
bool is_archive_record(unsigned type);

// The 14 magic bytes. Built at run time from two pieces so that no program
// of ours holds them contiguously: the installer searches its own file for
// the first occurrence, and vnpack must not look like a package either.
const std::string& package_magic();

// The text an installer program carries when it reads zstd archive
// records; built at run time from two pieces like the magic.
const std::string& zstd_support_marker();
// The same for installer programs that check signature records.
const std::string& signature_support_marker();

// A fresh header: magic, zero byte, given package size, CRC field zero.
void encode_header(unsigned char* header, uint32_t package_size);

void encode_record_head(unsigned char* head, uint32_t body_length, unsigned type);

}  // namespace vnpack

#endif  // VNPACK_PACKAGE_FORMAT_H
