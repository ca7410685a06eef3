// brace_expand on a text from the input: a list of at least one string, or
// null when the expansion would be too large.
#include "fuzz_input.h"
#include "vnlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input input(data, size);
  const std::string text = input.take_text();
  vn::brace_list* list = vn::brace_expand(text.c_str());
  if (list == nullptr) return 0;
  FUZZ_CHECK(list->bl_count >= 1 && list->bl_count <= list->bl_size);
  for (int32_t i = 0; i < list->bl_count; ++i) {
    FUZZ_CHECK(list->bl_items[i] != nullptr);
    vn::chk_free(list->bl_items[i]);
  }
  vn::chk_free(list->bl_items);
  vn::chk_free(list);
  return 0;
}
