// dstr_add_cstring: the input's bytes appended in escaped form, in pieces
// the input chooses, onto a record of a size the input chooses. Undoing the
// escapes must give the bytes back, and the record must hold its contents.
#include <cstring>

#include "fuzz_input.h"
#include "vnlib.h"

namespace {

int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// The inverse of the escaping; false on text the escaping cannot produce.
bool unescape(std::string_view text, std::string* out) {
  static constexpr std::string_view letters = "ntrfb", controls = "\n\t\r\f\b";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    const char c = text[i];
    if (c == '\\' || c == '"') {
      out->push_back(c);
    } else if (letters.find(c) != std::string_view::npos) {
      out->push_back(controls[letters.find(c)]);
    } else if (text.substr(i, 3) == "000") {
      out->push_back('\0');
      i += 2;
    } else if (c == 'x' && i + 2 < text.size()) {
      out->push_back(static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2])));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input input(data, size);
  vn::dstr record;
  vn::dstr_init(&record, static_cast<int32_t>(input.take_byte()));
  std::string appended;
  while (!input.empty()) {
    const std::string_view piece = input.take_bytes(input.take_byte());
    vn::dstr_add_cstring(&record, piece.data(), static_cast<int32_t>(piece.size()));
    appended += piece;
    FUZZ_CHECK(record.dl_str != nullptr && record.dl_len <= record.dl_size);
  }
  std::string restored;
  FUZZ_CHECK(unescape({record.dl_str, static_cast<size_t>(record.dl_len)}, &restored));
  FUZZ_CHECK(restored == appended);
  vn::dstr_free(&record);
  return 0;
}
