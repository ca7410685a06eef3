// archive_writer_fuzz.h - the body of the fuzz targets of the archive
// writers (the tar writer of bzip2 records, the reader of type-20 ones):
// the input is a tar stream, handed to the writer in calls whose sizes the
// input chooses (zero-byte calls included), unpacked in a child shut in a
// scratch directory that is emptied after every input. The writer must end
// with no file or directory left open.
#ifndef VNINSTALL_ARCHIVE_WRITER_FUZZ_H
#define VNINSTALL_ARCHIVE_WRITER_FUZZ_H

#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "confined_child.h"
#include "fuzz_input.h"
#include "installer.h"

struct archive_writer {
  void (*reset)();
  bz_writer write;
  int (*finish)();
};

namespace archive_writer_fuzz {

constexpr unsigned MAX_CUTS = 16;
constexpr unsigned TIME_LIMIT_SECONDS = 10;

struct writer_calls {
  archive_writer writer;
  std::vector<size_t> sizes;  // used in turn, over and over; empty: one call
  std::string_view stream;
};

inline int lowest_free_descriptor() {
  const int fd = dup(STDIN_FILENO);
  close(fd);
  return fd;
}

inline void unpack(void* arg) {
  const auto& calls = *static_cast<const writer_calls*>(arg);
  const int free_before = lowest_free_descriptor();
  calls.writer.reset();
  std::string_view rest = calls.stream;
  for (size_t turn = 0; !rest.empty(); ++turn) {
    const size_t n = calls.sizes.empty() ? rest.size() : std::min(calls.sizes[turn % calls.sizes.size()], rest.size());
    calls.writer.write(nullptr, rest.data(), static_cast<int>(n));
    rest.remove_prefix(n);
    // Bound the number of zero-byte calls.
    if (turn > 4 * calls.stream.size() + MAX_CUTS) break;
  }
  calls.writer.finish();
  FUZZ_CHECK(lowest_free_descriptor() == free_before);
}

}  // namespace archive_writer_fuzz

inline int fuzz_archive_writer(const archive_writer& writer, const uint8_t* data, size_t size) {
  using namespace archive_writer_fuzz;
  fuzz_input input(data, size);
  writer_calls calls{writer, {}, {}};
  const unsigned cuts = input.take_byte() % (MAX_CUTS + 1);
  for (unsigned i = 0; i < cuts; ++i) calls.sizes.push_back(input.take_byte() * 4 + input.take_byte() % 4);
  calls.stream = input.take_rest();
  run_confined({unpack, &calls, {}, false, TIME_LIMIT_SECONDS});
  empty_scratch_directory();
  return 0;
}

#endif  // VNINSTALL_ARCHIVE_WRITER_FUZZ_H
