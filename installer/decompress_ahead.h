// decompress_ahead.h - decompression on a thread of its own, running ahead
// of the writer. The decompressor's writer calls are queued, bounded, and
// replayed on the calling thread exactly as they were made (the same
// pieces, in the same order), and its messages come out there in their
// place among the writes. So any writer gets the overlap and sees what it
// would see on one thread. The reader is called on the decompressing
// thread, in the decompressor's own order: it must share no state with the
// writer (the caller looks at the reader's state once this returns).
#ifndef VNINSTALL_DECOMPRESS_AHEAD_H
#define VNINSTALL_DECOMPRESS_AHEAD_H

#include <cstddef>
#include <cstdint>

#include "installer.h"

// A decompressor with bzunzip's contract. Writer return values are not
// passed back to it (the decompressors ignore them): a writer handles its
// own failures.
using unzip_function = int (*)(intptr_t caller_value, bz_reader reader, bz_writer writer);

// Runs decompress ahead of writer when more than one thread is allowed
// (bzunzip_thread_count) and a pool thread can start; otherwise directly.
int decompress_ahead(unzip_function decompress, intptr_t caller_value, bz_reader reader, bz_writer writer);

// Room for a write of up to n bytes, for a decompressor running ahead that
// can put its output straight where the calling thread takes it (saving a
// copy); null when it does not run ahead, and it then calls its writer.
// unzip_output_commit(count) makes the first count bytes of the room the
// decompressor's next write, as if it had passed them to its writer.
char* unzip_output_room(size_t n);
void unzip_output_commit(size_t count);

// A decompressor's message (a whole line): on standard error after the
// output before it, standard output flushed first. Fatal ones then end
// the process with status 1.
void report_unzip_message(const char* line);
[[noreturn]] void report_unzip_fatal(const char* line);

#endif  // VNINSTALL_DECOMPRESS_AHEAD_H
