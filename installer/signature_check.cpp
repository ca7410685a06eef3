// Signed packages: a signature record directly behind the package header
// names a public key; the installer looks the key up in the trusted key
// directory and checks the Ed25519 signature over the digest that the
// verification pass computes beside the CRC.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "installer.h"
#include "package_signature.h"
#include "vnlib.h"

// libsodium is used without sodium_init: Ed25519 verification and base64
// need no set-up, and BLAKE2b then runs its portable code, which is as fast
// as the library's vectorised variants on the machines measured.

// Installer programs that check signature records carry this text, so that
// vnpack can tell them from older ones before it signs a package.
extern const char signature_support_marker[] = SIGNATURE_SUPPORT_MARKER_HEAD SIGNATURE_SUPPORT_MARKER_TAIL;

namespace {

constexpr const char* DEFAULT_KEY_DIRECTORY = "/etc/signify";
constexpr const char* KEY_DIRECTORY_VARIABLE = "VNINSTALL_KEYS";

enum class signature_state {
  unsigned_package,
  damaged_record,  // the first record is a signature record that makes no sense
  key_unreadable,  // not there, or cannot be read: the signature is not checked
  key_malformed,
  key_differs,     // the key file holds another key number than the record
  ready,           // the key is loaded; the pass feeds the digest
};

// All zero at start-up, so that it takes no room in the program file.
struct signature_check {
  signature_state state = signature_state::unsigned_package;
  const char* problem = nullptr;  // the reason for the damaged, unreadable and malformed states
  uint64_t record_at = 0;    // where the one signature record of a package stands
  unsigned char key_number[SIGNATURE_KEY_NUMBER_SIZE] = {};
  unsigned char signature[SIGNATURE_BYTES_SIZE] = {};
  char key_path[PATH_MAX] = {};
  signify_public_key key = {};
  package_digest digest = {};
};

signature_check check;

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...) {
  std::fflush(stdout);  // what earlier records printed comes first
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::exit(1);
}

const char* key_directory() {
  const char* dir = std::getenv(KEY_DIRECTORY_VARIABLE);
  return dir != nullptr && dir[0] != '\0' ? dir : DEFAULT_KEY_DIRECTORY;
}

// Reads the whole key file into text; false (with check.problem set) when
// it cannot be read.
bool read_key_file(char* text, size_t* length) {
  // Not blocking: a FIFO in the key's place must not hang the run.
  const int fd = open(check.key_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    check.problem = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    check.problem = "not a regular file";
    return false;
  }
  size_t got = 0;
  ssize_t n = 0;
  while (got <= KEY_FILE_MAX && (n = read(fd, text + got, KEY_FILE_MAX + 1 - got)) > 0) got += static_cast<size_t>(n);
  const int failure = errno;
  close(fd);
  if (n < 0) {
    check.problem = std::strerror(failure);
    return false;
  }
  *length = got;
  return true;
}

void load_key(const char* name) {
  const int wanted = std::snprintf(check.key_path, sizeof check.key_path, "%s/%s", key_directory(), name);
  if (wanted < 0 || static_cast<size_t>(wanted) >= sizeof check.key_path) {
    check.state = signature_state::key_unreadable;
    check.problem = std::strerror(ENAMETOOLONG);
    return;
  }
  static char text[KEY_FILE_MAX + 1];
  size_t length = 0;
  if (!read_key_file(text, &length)) {
    check.state = signature_state::key_unreadable;
  } else if (length > KEY_FILE_MAX) {
    check.state = signature_state::key_malformed;
    check.problem = "longer than any key file";
  } else if (const char* problem = parse_signify_public_key(text, length, &check.key)) {
    check.state = signature_state::key_malformed;
    check.problem = problem;
  } else if (std::memcmp(check.key.key_number, check.key_number, SIGNATURE_KEY_NUMBER_SIZE) != 0) {
    check.state = signature_state::key_differs;
  } else {
    check.state = signature_state::ready;
  }
}

// Takes the signature record's body apart; false when it makes no sense.
bool parse_record(const unsigned char* body, uint32_t length, char* name) {
  if (length <= SIGNATURE_KEY_NAME_OFFSET || length > SIGNATURE_BODY_MAX) {
    check.problem = "its length is wrong";
    return false;
  }
  if (std::memcmp(body, SIGNIFY_ALGORITHM, SIGNATURE_ALGORITHM_SIZE) != 0) {
    check.problem = "not an Ed25519 signature";
    return false;
  }
  const size_t name_length = length - SIGNATURE_KEY_NAME_OFFSET;
  std::memcpy(name, body + SIGNATURE_KEY_NAME_OFFSET, name_length);
  name[name_length] = '\0';
  if (!is_plain_key_name(name, name_length)) {
    check.problem = "the key name is not a plain file name";
    return false;
  }
  std::memcpy(check.key_number, body + SIGNATURE_KEY_NUMBER_OFFSET, SIGNATURE_KEY_NUMBER_SIZE);
  std::memcpy(check.signature, body + SIGNATURE_BYTES_OFFSET, SIGNATURE_BYTES_SIZE);
  return true;
}

bool read_at(int fd, uint64_t offset, unsigned char* buf, size_t n) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0 && read_fully(fd, buf, n) == n;
}

}  // namespace

package_digest* signature_check_begin(int fd, uint32_t payload_offset) {
  // Keeps the marker in the program when unused sections are dropped.
  __asm__ volatile("" : : "r"(signature_support_marker));
  check.record_at = static_cast<uint64_t>(payload_offset) + PACKAGE_HEADER_SIZE;
  // Whatever is not a package header followed by a signature record is left
  // to the checks of an unsigned package.
  unsigned char magic[PACKAGE_MAGIC_LENGTH + 1];
  unsigned char head[RECORD_HEAD_SIZE];
  if (!read_at(fd, payload_offset, magic, sizeof magic) || std::memcmp(magic, package_magic, sizeof magic) != 0 ||
      !read_at(fd, check.record_at, head, sizeof head) || head[4] != RECORD_SIGNATURE)
    return nullptr;
  unsigned char body[SIGNATURE_BODY_MAX];
  char name[SIGNATURE_KEY_NAME_MAX + 1];
  const uint32_t length = record_body_length(head);
  check.state = signature_state::damaged_record;
  if (length <= SIGNATURE_BODY_MAX && !read_at(fd, check.record_at + RECORD_HEAD_SIZE, body, length))
    check.problem = "it is cut short";
  else if (parse_record(body, length, name))
    load_key(name);
  if (check.state != signature_state::ready) return nullptr;
  // Every other leaf of the digest is hashed on a second thread, unless the
  // installer is held to one.
  if (!package_digest_init(&check.digest, payload_offset, bzunzip_thread_count() > 1))
    fail("Error: cannot check the package signature: out of memory\n");
  return &check.digest;
}

void signature_check_report() {
  char ours[2 * SIGNATURE_KEY_NUMBER_SIZE + 1], theirs[2 * SIGNATURE_KEY_NUMBER_SIZE + 1];
  switch (check.state) {
    case signature_state::unsigned_package:
      if (signed_install) fail("Error: the package is not signed (-signed needs a checked signature)\n");
      return;
    case signature_state::damaged_record:
      fail("Error: damaged signature record in package file: %s\n", check.problem);
    case signature_state::key_unreadable:
      if (signed_install)
        fail("Error: package signature not checked: cannot read key %s: %s (-signed needs a checked signature)\n",
             check.key_path, check.problem);
      std::fflush(stdout);
      std::fprintf(stderr, "Package signature not checked: cannot read key %s: %s\n", check.key_path, check.problem);
      return;
    case signature_state::key_malformed:
      fail("Error: cannot check the package signature: %s is no signify public key: %s\n", check.key_path,
           check.problem);
    case signature_state::key_differs:
      format_key_number(check.key_number, ours);
      format_key_number(check.key.key_number, theirs);
      fail("Error: BAD package signature: signed by key number %s, but %s is key number %s\n", ours, check.key_path,
           theirs);
    case signature_state::ready: return;
  }
}

void signature_check_verify() {
  if (check.state != signature_state::ready) return;
  unsigned char digest[PACKAGE_DIGEST_SIZE];
  package_digest_final(&check.digest, digest);
  if (!package_signature_valid(check.signature, digest, check.key.key))
    fail("Error: BAD package signature: the file is not as key %s signed it\n", check.key_path);
  std::fflush(stdout);
  std::fprintf(stderr, "Package signature verified with key %s\n", check.key_path);
}

// Verification has dealt with the signature record in its place; one
// anywhere else was not signed (the signature covers it) or was put there.
int handle_signature_record(int fd, const unsigned char*) {
  const off_t body_at = lseek(fd, 0, SEEK_CUR);
  if (body_at >= 0 && static_cast<uint64_t>(body_at) == check.record_at + RECORD_HEAD_SIZE) return 0;
  std::fflush(stdout);
  std::fputs("Error: signature record out of place in package file\n", stderr);
  std::exit(1);
}
