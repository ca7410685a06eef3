// The reader of type-20 archives: the input is a tar stream (pax and GNU
// extensions, links, hostile names), handed to the writer in calls whose
// sizes the input chooses (zero-byte calls included), unpacked in a child
// shut in a scratch directory that is emptied after every input. The
// writer must end with no file or directory left open.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "archive.h"
#include "confined_child.h"
#include "fuzz_input.h"
#include "installer.h"
#include "pax.h"

namespace {

constexpr unsigned MAX_CUTS = 16;
constexpr unsigned TIME_LIMIT_SECONDS = 10;

struct writer_calls {
  std::vector<size_t> sizes;  // used in turn, over and over; empty: one call
  std::string_view stream;
};

int lowest_free_descriptor() {
  const int fd = dup(STDIN_FILENO);
  close(fd);
  return fd;
}

void unpack(void* arg) {
  const auto& calls = *static_cast<const writer_calls*>(arg);
  const int free_before = lowest_free_descriptor();
  pax_writer_reset();
  std::string_view rest = calls.stream;
  for (size_t turn = 0; !rest.empty(); ++turn) {
    const size_t n = calls.sizes.empty() ? rest.size() : std::min(calls.sizes[turn % calls.sizes.size()], rest.size());
    pax_writer(nullptr, rest.data(), static_cast<int>(n));
    rest.remove_prefix(n);
    // Bound the number of zero-byte calls.
    if (turn > 4 * calls.stream.size() + MAX_CUTS) break;
  }
  pax_writer_finish();
  FUZZ_CHECK(lowest_free_descriptor() == free_before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input input(data, size);
  writer_calls calls;
  const unsigned cuts = input.take_byte() % (MAX_CUTS + 1);
  for (unsigned i = 0; i < cuts; ++i) calls.sizes.push_back(input.take_byte() * 4 + input.take_byte() % 4);
  calls.stream = input.take_rest();
  run_confined({unpack, &calls, {}, false, TIME_LIMIT_SECONDS});
  empty_scratch_directory();
  return 0;
}
