// dstr.cpp - set-up and size management of the dynamic string.
//
// A failed allocation empties the record (null buffer, size and length 0).
// Appends to a record without a buffer do nothing, so a failure stays
// visible to whoever finally takes dl_str: it is null, never a string with
// a silent hole in it.
// The assertion report of dstr_set_size stays in release builds too.
#undef NDEBUG
#include <assert.h>

#include <cstring>

#include "dstr_internal.h"

namespace vn {

namespace dstr_detail {

void empty_record(dstr* dstr) {
  chk_free_ptr(&dstr->dl_str);
  dstr->dl_size = 0;
  dstr->dl_len = 0;
}

// Reallocate to exactly new_size bytes; the old contents are kept up to the
// smaller of the two sizes. False (record emptied) when that fails.
bool reallocate(dstr* dstr, int64_t new_size) {
  if (new_size < 0 || new_size > kMaxSize) {
    empty_record(dstr);
    return false;
  }
  void* grown = chk_realloc(dstr->dl_str, static_cast<size_t>(new_size));
  if (grown == nullptr) {
    empty_record(dstr);  // the old block is still ours to release
    return false;
  }
  dstr->dl_str = static_cast<char*>(grown);
  dstr->dl_size = static_cast<int32_t>(new_size);
  return true;
}

unsigned char* make_room(dstr* dstr, int32_t need, int64_t increment) {
  if (dstr->dl_str == nullptr) return nullptr;
  if (static_cast<int64_t>(dstr->dl_len) + need >= dstr->dl_size &&
      !reallocate(dstr, dstr->dl_size + increment)) {
    return nullptr;
  }
  return reinterpret_cast<unsigned char*>(dstr->dl_str + dstr->dl_len);
}

}  // namespace dstr_detail

using namespace dstr_detail;

namespace {

char* adopt_new_block(dstr* dstr, void* block, int32_t size) {
  dstr->dl_str = static_cast<char*>(block);
  dstr->dl_size = block == nullptr ? 0 : size;
  dstr->dl_len = 0;
  return dstr->dl_str;
}

}  // namespace

char* dstr_init(dstr* dstr, int32_t size) {
  return adopt_new_block(dstr, size < 0 ? nullptr : chk_alloc(static_cast<size_t>(size)), size);
}

char* dstr_zinit(dstr* dstr, int32_t size) {
  return adopt_new_block(dstr, size < 0 ? nullptr : chk_zalloc(static_cast<size_t>(size)), size);
}

void dstr_setup(dstr* dstr, void* buffer, int32_t size) {
  dstr->dl_str = static_cast<char*>(buffer);
  dstr->dl_size = size;
  dstr->dl_len = size;
}

void dstr_clear(dstr* dstr) { dstr->dl_len = 0; }

void dstr_free(dstr* dstr) {
  chk_free_ptr(&dstr->dl_str);
  dstr->dl_len = 0;
}

void dstr_set_space(dstr* dstr, int32_t size) {
  if (size == dstr->dl_size) return;
  if (reallocate(dstr, size)) dstr->dl_len = 0;
}

void dstr_resize(dstr* dstr, int32_t size) {
  if (dstr->dl_size >= size) return;
  if (dstr->dl_str == nullptr) {
    adopt_new_block(dstr, chk_zalloc(static_cast<size_t>(size)), size);
    return;
  }
  const int32_t old_size = dstr->dl_size;
  if (reallocate(dstr, size)) std::memset(dstr->dl_str + old_size, 0, size - old_size);
}

void dstr_size(dstr* dstr, int32_t size) {
  if (dstr->dl_size >= size) return;
  dstr_resize(dstr, size);
  if (dstr->dl_str != nullptr) dstr->dl_len = size;
}

// A length beyond the buffer is a caller's error that would let later appends
// write outside it: stop with the C library's assertion report.
void dstr_set_size(dstr* dstr, int32_t size) {
  if (!(size <= dstr->dl_size)) {
    __assert_fail("size <= dstr->dl_size", "string/dstr.cpp", __LINE__, "dstr_set_size");
  }
  if (!(size >= 0)) __assert_fail("size >= 0", "string/dstr.cpp", __LINE__, "dstr_set_size");
  dstr->dl_len = size;
}

void dstr_reserve(dstr* dstr, int32_t n) {
  if (n < 0) return;
  if (make_room(dstr, n, static_cast<int64_t>(n) + kIncrement) != nullptr) dstr->dl_len += n;
}

char* dstr_reserve_zero(dstr* dstr, int32_t n) {
  if (n < 0) return nullptr;
  unsigned char* at = make_room(dstr, n, static_cast<int64_t>(n) + kIncrement);
  if (at == nullptr) return nullptr;
  std::memset(at, 0, static_cast<size_t>(n));
  dstr->dl_len += n;
  return reinterpret_cast<char*>(at);
}

void dstr_remove(dstr* dstr, int32_t n) {
  if (n <= 0) return;
  if (n < dstr->dl_len) {
    std::memmove(dstr->dl_str, dstr->dl_str + n, static_cast<size_t>(dstr->dl_len - n));
    dstr->dl_len -= n;
  } else {
    dstr->dl_len = 0;
  }
}

}  // namespace vn
