// The reader of type-20 archives (pax and GNU extensions, links, hostile
// names), fed a tar stream in calls of sizes the input chooses; see
// archive_writer_fuzz.h.
#include "archive_writer_fuzz.h"
#include "pax.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_archive_writer({pax_writer_reset, pax_writer, pax_writer_finish}, data, size);
}
