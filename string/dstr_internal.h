// dstr_internal.h - growth shared by the dynamic-string operations.
#ifndef VN_STRING_DSTR_INTERNAL_H
#define VN_STRING_DSTR_INTERNAL_H

#include <cstdint>

#include "vnlib.h"

namespace vn::dstr_detail {

// What most appends add to the size beyond their need.
constexpr int64_t kIncrement = 64;
// Sizes and lengths are signed 32-bit: a buffer never grows beyond this.
constexpr int64_t kMaxSize = INT32_MAX;

// Release the buffer and zero size and length.
void empty_record(dstr* dstr);
// Reallocate to exactly new_size bytes; false (record emptied) on failure or
// when new_size is out of range.
bool reallocate(dstr* dstr, int64_t new_size);
// Where `need` more bytes go: grows by `increment` first when
// dl_len + need >= dl_size. Null when there is no buffer or growth failed.
// dl_len is left to the caller.
unsigned char* make_room(dstr* dstr, int32_t need, int64_t increment);

}  // namespace vn::dstr_detail

#endif  // VN_STRING_DSTR_INTERNAL_H
