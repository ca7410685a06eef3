// package_layout.h - the layout of a package as it follows the installer
// program in one file: a 172-byte header, then records of a 5-byte head
// (32-bit big-endian body length, type byte) and a body. Shared by the
// installer, which reads packages, and vnpack, which writes them.
#ifndef VNINSTALL_PACKAGE_LAYOUT_H
#define VNINSTALL_PACKAGE_LAYOUT_H

#include <cstdint>

// The magic that begins the header: the byte 0x01, "Install", the byte
// 0x07, "Magic". Programs keep it as these two pieces and join them at run
// time, so that the 14 bytes never stand together in an executable image:
// the installer finds its package as the first occurrence in its own file.
inline constexpr char PACKAGE_MAGIC_FIRST_PIECE[] = "\001Install";
inline constexpr char PACKAGE_MAGIC_SECOND_PIECE[] = "\007Magic";
constexpr uint32_t PACKAGE_MAGIC_LENGTH = 14;  // without the zero byte behind it
constexpr uint32_t PACKAGE_HEADER_SIZE = 172;
constexpr uint32_t HEADER_SIZE_OFFSET = 24;     // package size, big-endian
constexpr uint32_t HEADER_CRC_OFFSET = 28;      // file CRC, big-endian
constexpr uint32_t RECORD_HEAD_SIZE = 5;

// An environment record body, its terminating zero included, must fit the
// installer's 1024-byte buffer.
constexpr uint32_t ENV_BODY_MAX = 1023;

enum record_type : unsigned char {
  RECORD_WELCOME = 1,
  RECORD_ARCHIVE = 2,
  RECORD_HELPER = 7,
  RECORD_ARCHIVE_ALT = 10,
  RECORD_SCRIPT = 11,
  RECORD_ENV = 12,
  RECORD_ZSTD_ARCHIVE = 20,  // an archive record whose tar is in Zstandard frames
  RECORD_SIGNATURE = 21,     // the package's signature; only as the first record
};

// The signature record's body: signify's signature layout ("Ed", the
// signing key's 8-byte number, the 64-byte Ed25519 signature), then the
// file name of the public key that verifies it (a plain name, looked up
// in the trusted key directory).
constexpr uint32_t SIGNATURE_ALGORITHM_SIZE = 2;  // "Ed"
constexpr uint32_t SIGNATURE_KEY_NUMBER_OFFSET = 2;
constexpr uint32_t SIGNATURE_KEY_NUMBER_SIZE = 8;
constexpr uint32_t SIGNATURE_BYTES_OFFSET = 10;
constexpr uint32_t SIGNATURE_BYTES_SIZE = 64;
constexpr uint32_t SIGNIFY_SIGNATURE_SIZE = SIGNATURE_BYTES_OFFSET + SIGNATURE_BYTES_SIZE;
constexpr uint32_t SIGNATURE_KEY_NAME_OFFSET = SIGNIFY_SIGNATURE_SIZE;
constexpr uint32_t SIGNATURE_KEY_NAME_MAX = 255;
constexpr uint32_t SIGNATURE_BODY_MAX = SIGNATURE_KEY_NAME_OFFSET + SIGNATURE_KEY_NAME_MAX;

// The text that marks an installer program able to read zstd archive
// records. Programs that only look for it keep it as these two pieces, so
// that they do not carry the whole text themselves.
#define ZSTD_SUPPORT_MARKER_HEAD "\x02vninstall-reads-record-type:"
#define ZSTD_SUPPORT_MARKER_TAIL "20:zstd-archive\x03"
// The same for installer programs that check signature records.
#define SIGNATURE_SUPPORT_MARKER_HEAD "\x02vninstall-reads-record-type:"
#define SIGNATURE_SUPPORT_MARKER_TAIL "21:signature\x03"

#endif  // VNINSTALL_PACKAGE_LAYOUT_H
