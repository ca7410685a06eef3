// Verifying the package: the stored size and a CRC-32 over the whole file.
// A failed check can be passed over by pressing Enter.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "installer.h"
#include "package_signature.h"
#include "vnlib.h"

namespace {

// The whole file passes through this buffer. Reads this large keep the
// system-call cost per byte far below the checksum's, so the pass runs at
// the speed of the CRC; the buffer is allocated once, with the program.
constexpr size_t VERIFY_CHUNK_SIZE = 64 * 1024;
constexpr int ANSWER_BUFFER_SIZE = 1024;

unsigned char verify_chunk[VERIFY_CHUNK_SIZE];

// Reads one answer line; anything but a bare Enter (or end of input) ends
// the run with status 1 and no further message.
void require_enter() {
  char answer[ANSWER_BUFFER_SIZE];
  if (std::fgets(answer, sizeof answer, stdin) == nullptr || answer[0] != '\n') std::exit(1);
}


// First pass: the executable image, with a progress line at most once per
// second of wall time.
void accumulate_image(int fd, uint32_t payload_offset, package_digest* digest) {
  time_t noted = std::time(nullptr);
  uint32_t done = 0;
  while (done < payload_offset) {
    size_t want = payload_offset - done < VERIFY_CHUNK_SIZE ? payload_offset - done : VERIFY_CHUNK_SIZE;
    ssize_t got = read(fd, verify_chunk, want);
    if (got <= 0) break;  // shows up as a checksum failure
    vn::crc32_accum(verify_chunk, static_cast<int32_t>(got));
    if (digest != nullptr) package_digest_update(digest, verify_chunk, static_cast<size_t>(got));
    done += static_cast<uint32_t>(got);
    time_t now = std::time(nullptr);
    if (now != noted) {
      long percent = static_cast<long>(static_cast<uint64_t>(done) * 100 / payload_offset);
      std::fprintf(stderr, "(processing .. %ld%% complete)\n", percent);
      noted = now;
    }
  }
}

void accumulate_rest(int fd, package_digest* digest) {
  ssize_t got;
  while ((got = read(fd, verify_chunk, sizeof verify_chunk)) > 0) {
    vn::crc32_accum(verify_chunk, static_cast<int32_t>(got));
    if (digest != nullptr) package_digest_update(digest, verify_chunk, static_cast<size_t>(got));
  }
}

void report_size_mismatch(uint64_t expected, uint64_t actual) {
  std::printf(
      "\n*** Error:\n"
      "    Package is corrupt - incorrect size detected.\n"
      "    File size should be: %" PRIu64 " bytes\n"
      "    Actual size        : %" PRIu64 " bytes\n"
      "    Press <Enter> to continue: ",
      expected, actual);
  std::fflush(stdout);
  require_enter();
}

void report_checksum_mismatch(uint32_t stored, uint32_t computed) {
  std::printf(
      "\n*** Error:\n"
      "    Package is corrupt - file has failed checksum.\n"
      "    Expected CRC: %08" PRIx32 " Calculated: %08" PRIx32 "\n",
      stored, computed);
  std::fflush(stdout);
  std::fputs("    Press <Enter> to continue: ", stderr);
  require_enter();
}

}  // namespace

void verify_package(uint32_t payload_offset, uint64_t file_size, int fd) {
  // A signed package whose key is at hand: the digest is computed in the
  // same pass as the CRC, and the signature decides before any prompt.
  package_digest* digest = signature_check_begin(fd, payload_offset);
  vn::crc32_accum(nullptr, 0);
  lseek(fd, 0, SEEK_SET);
  accumulate_image(fd, payload_offset, digest);
  std::fputs("\n", stderr);

  unsigned char header[PACKAGE_HEADER_SIZE];
  lseek(fd, payload_offset, SEEK_SET);
  if (read_fully(fd, header, sizeof header) < sizeof header) {
    std::fputs("Error reading package header\n", stderr);
    std::exit(1);
  }
  // The header's first 15 bytes are the magic and its terminating zero.
  if (std::strncmp(reinterpret_cast<const char*>(header), package_magic, PACKAGE_MAGIC_LENGTH + 1) != 0) {
    std::fputs("Cannot locate package payload.\n", stderr);
    std::exit(1);
  }

  const uint32_t stored_crc = vn::LGET32(header + HEADER_CRC_OFFSET);
  std::memset(header + HEADER_CRC_OFFSET, 0, 4);
  vn::crc32_accum(header, PACKAGE_HEADER_SIZE);
  if (digest != nullptr) package_digest_update(digest, header, PACKAGE_HEADER_SIZE);
  const uint32_t package_size = vn::LGET32(header + HEADER_SIZE_OFFSET);
  signature_check_report();

  const bool size_differs = file_size - payload_offset != package_size;
  if (size_differs && digest == nullptr)
    report_size_mismatch(static_cast<uint64_t>(payload_offset) + package_size, file_size);

  // Unsigned, the bulk is folded on two threads where it pays; the rest,
  // or all of it, is read in order.
  if (digest == nullptr)
    crc_rest_split(fd, static_cast<uint64_t>(payload_offset) + PACKAGE_HEADER_SIZE, file_size, verify_chunk,
                   sizeof verify_chunk);
  accumulate_rest(fd, digest);
  if (digest != nullptr) {
    signature_check_verify();
    if (size_differs) report_size_mismatch(static_cast<uint64_t>(payload_offset) + package_size, file_size);
  }
  const uint32_t computed_crc = vn::crc32_accum(header, 0);
  if (computed_crc != stored_crc) report_checksum_mismatch(stored_crc, computed_crc);
}
