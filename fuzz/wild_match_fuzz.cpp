// wild_match: name and pattern from the input, under every combination of
// the flags the matcher reads plus a flag word the input chooses. Allowing
// more (ignoring case, matching leading dots) never loses a match.
#include "fuzz_input.h"
#include "vnlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input input(data, size);
  const int chosen = static_cast<int>(input.take_byte() << 8 | input.take_byte());
  const std::string name = input.take_text();
  const std::string pattern = input.take_text();

  vn::wild_match(name.c_str(), pattern.c_str(), chosen);
  for (int flags : {0, vn::WILD_DOTFILES}) {
    const int exact = vn::wild_match(name.c_str(), pattern.c_str(), flags);
    const int folded = vn::wild_match(name.c_str(), pattern.c_str(), flags | vn::WILD_NOCASE);
    FUZZ_CHECK(exact == 0 || exact == 1);
    FUZZ_CHECK(folded == 0 || folded == 1);
    FUZZ_CHECK(folded >= exact);
    if (flags == 0) {
      FUZZ_CHECK(vn::wild_match(name.c_str(), pattern.c_str(), vn::WILD_DOTFILES) >= exact);
    }
  }
  return 0;
}
