// string_qword_split and string_wordize on a text from the input, with
// flags the input chooses. Words after the first are never empty.
#include <cstring>

#include "fuzz_input.h"
#include "vnlib.h"

namespace {

void split_in_qwords(const std::string& text, int flags) {
  int count = -1;
  vn::string_qword* records = vn::string_qword_split(text.c_str(), &count, flags);
  FUZZ_CHECK(records != nullptr);
  int seen = 0;
  for (; records[seen].word != nullptr; ++seen) {
    FUZZ_CHECK(records[seen].kind == 0 || records[seen].kind == 4);
    // A quoted word may gain a closing quote, never more.
    FUZZ_CHECK(std::strlen(records[seen].word) <= text.size() + 1);
    vn::chk_free(records[seen].word);
  }
  FUZZ_CHECK(seen == count);
  vn::chk_free(records);
}

void wordize(const std::string& text) {
  char** words = vn::string_wordize(text.c_str());
  FUZZ_CHECK(words != nullptr && words[0] != nullptr);
  for (int i = 1; words[i] != nullptr; ++i) FUZZ_CHECK(words[i][0] != '\0');
  vn::chk_free(words[0]);
  vn::chk_free(words);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input input(data, size);
  const int flags = static_cast<int>(input.take_byte());
  const std::string text = input.take_text();
  split_in_qwords(text, flags & (vn::QWORD_SPACES | vn::QWORD_SEMICOLON));
  wordize(text);
  return 0;
}
