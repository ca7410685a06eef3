// The installer's tar writer (bzip2 archive records), fed a tar stream in
// calls of sizes the input chooses; see archive_writer_fuzz.h.
#include "archive.h"
#include "archive_writer_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_archive_writer({tar_writer_reset, tar_writer, tar_writer_finish}, data, size);
}
