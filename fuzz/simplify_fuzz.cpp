// wild_collapse and simplify_filename on a name from the input. Folding
// only ever shortens a name and leaves no run of delimiters behind.
#include <cstring>

#include "fuzz_input.h"
#include "vnlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input input(data, size);
  std::string name = input.take_text();

  std::string folded = name;
  vn::wild_collapse(folded.data());
  const size_t folded_length = std::strlen(folded.c_str());
  FUZZ_CHECK(folded_length <= name.size());
  FUZZ_CHECK(std::string_view(folded.c_str(), folded_length).find("//") == std::string_view::npos);

  char* simplified = vn::simplify_filename(name.c_str());
  FUZZ_CHECK(simplified != nullptr);
  vn::chk_free(simplified);
  return 0;
}
