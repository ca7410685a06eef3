// archive.h - internal interface of the archive extraction, shared by the
// feed, the tar writer, the archive-record handler and their unit tests.
#ifndef VNINSTALL_ARCHIVE_H
#define VNINSTALL_ARCHIVE_H

#include <cstddef>
#include <cstdint>

#include "installer.h"

constexpr int FEED_CHUNK_SIZE = 2048;   // package-file bytes read per refill
constexpr int TAR_BLOCK_SIZE = 512;

// Reports a failed libbz2 call ("bzDecompress: failed, ret=-4") on standard
// error, after flushing standard output, so that a log of both streams shows
// it behind the entries unpacked before it.
// From a decompression running ahead of the writer, the message is written
// in its place among the writes.
void report_bz2_failure(const char* call, int ret);
// The same for a failure that ends the process (status 1).
[[noreturn]] void report_bz2_fatal(const char* call, int ret);

// bzunzip on the calling thread only, for input of which the first
// taken_count bytes have already been read from the reader.
int bzunzip_sequential(const bz_context& ctx, const unsigned char* taken, size_t taken_count);
// bzunzip with the blocks decompressed on up to `threads` threads.
int bzunzip_blocks(const bz_context& ctx, unsigned threads);
// Threads bzunzip uses: VNINSTALL_THREADS when it is a number from 1 up,
// otherwise the processors the process may run on; 1 means the sequential
// path.
unsigned bzunzip_thread_count();
// For tests: when set, no decompression thread can be started.
extern bool bzunzip_refuse_threads;
// For tests: bit positions taken for block markers, as if the pattern
// appeared there inside compressed data.
extern const uint64_t* bzunzip_false_markers;
extern size_t bzunzip_false_marker_count;

// Body bytes handed to the decompressor since the last feed_start.
uint64_t feed_bytes_handed_out();
// True when the package file ended, or could not be read, before the end of
// the body the record head promised.
bool feed_body_missing();

// Flushes standard output; true once a write of archive bytes to it has
// failed (the failure has then been reported on standard error).
bool stdout_write_failed();

// Ends the archive of the current record: closes a file the archive left
// open, gives read-only directories the mode they were created without, and
// returns nonzero when any entry could not be unpacked completely.
int tar_writer_finish();

// Header number fields. The size is octal text or, when the first byte has
// its high bit set, a big-endian base-256 number; values that do not fit
// 64 bits saturate, negative ones give 0.
uint64_t tar_parse_size(const unsigned char* field, size_t width);
// Octal text: leading blanks skipped, digits up to the first other byte or
// the end of the field; no digits give 0.
uint64_t tar_parse_octal(const unsigned char* field, size_t width);

#endif  // VNINSTALL_ARCHIVE_H
