// installer.h - shared declarations of the vninstall program: run settings,
// the package container, the record walk and the record handlers.
#ifndef VNINSTALL_INSTALLER_H
#define VNINSTALL_INSTALLER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "package_layout.h"

// ---------------------------------------------------------------------------
// Run settings (run_settings.cpp). Process-wide, zero or null at start-up.
// ---------------------------------------------------------------------------

extern int quiet_install;              // "-quiet": helper gets "/quiet"
extern int debug_install;              // "-d": "sh -i" before the script runs
extern int gz_install;                 // "-gz": archives go to standard output
extern int signed_install;             // "-signed": only a checked signature will do
extern const char* install_program_path;  // the installer's own file
extern const char* install_temp_dir;   // TEMP, else TMP, else "."
extern char* install_root;             // set by the welcome dialogue
extern int package_fd;                 // read-only, open for the whole run

extern char package_magic[PACKAGE_MAGIC_LENGTH + 1];

constexpr int PROGRAM_VERSION_MAJOR = 1;
constexpr int PROGRAM_VERSION_MINOR = 7;

// ---------------------------------------------------------------------------
// Package container (container.cpp, verify.cpp, record_walk.cpp)
// ---------------------------------------------------------------------------

// Joins the two stored pieces of the magic into package_magic.
void build_package_magic();

// Offset of the first magic at or after start, or 0 when there is none.
uint32_t find_package_offset(int fd, uint32_t start, uint32_t limit);

// Size and CRC checks; returns when they pass or the user pressed Enter,
// otherwise ends the process with status 1.
void verify_package(uint32_t payload_offset, uint64_t file_size, int fd);
// With fd at `from`: folds the file's bytes from there to file_size into
// the running CRC on two threads (the calling thread's half through buf),
// as reading them in order would, and leaves fd at file_size; or, when that
// does not pay or a read comes up short, folds nothing and leaves fd alone.
void crc_rest_split(int fd, uint64_t from, uint64_t file_size, unsigned char* buf, size_t buf_size);

// Signature records (signature_check.cpp). Before the verification pass:
// looks at the package's first record and, for a signed package whose key
// is in the trusted key directory, returns the digest the pass feeds with
// every byte of the file (null otherwise).
struct package_digest;
package_digest* signature_check_begin(int fd, uint32_t payload_offset);
// After the header checks: ends the run for a damaged signature record, a
// malformed or different key, or (with "-signed") an unsigned package or a
// missing key; reports a missing key and goes on.
void signature_check_report();
// After the pass: ends the run unless the signature holds, and names the key.
void signature_check_verify();

// Carries out the records in file order; returns install_failed (0 or 1).
int run_package_records(uint32_t payload_offset, uint64_t file_size);

// Reads n bytes at the current position, retrying short reads; returns the
// count read (less than n only at the end of the file or on an error).
size_t read_fully(int fd, void* buf, size_t n);
// Writes n bytes, again after interruptions and short writes; returns the
// count written: less than n when a write failed (errno says why) or wrote
// nothing (errno is then 0).
size_t write_fully(int fd, const void* buf, size_t n);

// Body length of a record head (big-endian 32-bit).
uint32_t record_body_length(const unsigned char* head);

// A record handler: fd is positioned on the body, head is the 5-byte head.
using record_handler = int (*)(int fd, const unsigned char* head);

int handle_welcome_record(int fd, const unsigned char* head);
int handle_archive_record(int fd, const unsigned char* head);
int handle_helper_record(int fd, const unsigned char* head);
int handle_script_record(int fd, const unsigned char* head);
int handle_env_record(int fd, const unsigned char* head);
int handle_signature_record(int fd, const unsigned char* head);

// ---------------------------------------------------------------------------
// Start-up (options.cpp, driver.cpp)
// ---------------------------------------------------------------------------

int parse_install_options(int argc, char** argv);
int vninstall(int flags, const char* argv0);

// ---------------------------------------------------------------------------
// Streaming bzip2 decompression with callbacks (bzunzip.cpp, feed.cpp,
// writers.cpp, tar_writer.cpp)
// ---------------------------------------------------------------------------

struct bz_context;
// Places up to wanted bytes in buf; returns the count, 0 at the end of input.
using bz_reader = int (*)(bz_context* ctx, char* buf, int wanted);
// Takes count decompressed bytes (count may be 0); 0 or -1 on a failed write.
using bz_writer = int (*)(bz_context* ctx, const char* data, int count);

struct bz_context {
  intptr_t caller_value;
  bz_reader reader;
  bz_writer writer;
};

// Decompresses the stream(s) pulled through reader into writer; 0 when the
// input was decompressed completely, nonzero otherwise.
int bzunzip(intptr_t caller_value, bz_reader reader, bz_writer writer);
// The same for a row of Zstandard frames; failures are reported on standard
// error as "zstd: " and the library's error name.
int zstd_unzip(intptr_t caller_value, bz_reader reader, bz_writer writer);
// zstd_unzip with the same output, messages and result, on the pool's
// threads when more than one is allowed: independent frames that state
// their size are decoded at once, anything else runs ahead of the writer.
int zstd_unzip_frames(intptr_t caller_value, bz_reader reader, bz_writer writer);

// Starts a stream over the record body at body_offset of the package file:
// sets the saved offset and record length and empties the input buffer.
void feed_start(uint32_t body_offset, uint32_t body_length);

int record_reader(bz_context* ctx, char* buf, int wanted);
int stdout_writer(bz_context* ctx, const char* data, int count);
int buffered_file_writer(bz_context* ctx, const char* data, int count);
int tar_writer(bz_context* ctx, const char* data, int count);
void tar_writer_reset();

// The stream buffered_file_writer writes to; opened and closed by its user.
extern FILE* feed_output_stream;

#endif  // VNINSTALL_INSTALLER_H
