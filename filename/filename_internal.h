// filename_internal.h - helpers shared by the file-name services, not part
// of the library's interface.
#ifndef VN_FILENAME_INTERNAL_H
#define VN_FILENAME_INTERNAL_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vnlib.h"

namespace vn {

inline bool is_delim_char(char ch) { return filename_is_delim(static_cast<unsigned char>(ch)) != 0; }

inline bool is_directory(const struct stat& status) { return (status.st_mode & S_IFMT) == S_IFDIR; }

// A new string holding the first length bytes of text, terminated.
char* copy_prefix(const char* text, size_t length);

// Releases a brace list: its strings, its array and the record. Null is
// left alone.
void brace_list_release(brace_list* list);

// A growable array of plain records in one block of the checked allocation
// family, for results handed to the caller. A failed growth leaves the
// array as it was and is reported, so nothing is written through null.
template <typename T>
struct ChkArray {
  static_assert(std::is_trivially_copyable_v<T>);

  T* items = nullptr;
  size_t count = 0;
  size_t capacity = 0;

  // Appends one record; false when memory ran out.
  bool push(const T& item) {
    if (count == capacity && !grow()) return false;
    std::memcpy(static_cast<void*>(items + count), &item, sizeof(T));
    ++count;
    return true;
  }

  // Hands the block to the caller, who releases it with chk_free.
  T* take() {
    T* block = items;
    items = nullptr;
    count = capacity = 0;
    return block;
  }

  // Releases the block (not what the records point to).
  void release() { chk_free_safe(take()); }

 private:
  static constexpr size_t kFirstCapacity = 8;

  bool grow() {
    const size_t wanted = capacity == 0 ? kFirstCapacity : capacity * 2;
    if (wanted > SIZE_MAX / sizeof(T)) return false;
    void* grown = chk_realloc(items, wanted * sizeof(T));
    if (grown == nullptr) return false;
    items = static_cast<T*>(grown);
    capacity = wanted;
    return true;
  }
};

// Releases collected glob entries together with their names.
inline void release_glob_entries(ChkArray<glob_entry>& entries) {
  for (size_t i = 0; i < entries.count; ++i) chk_free(entries.items[i].ge_name);
  entries.release();
}

}  // namespace vn

#endif  // VN_FILENAME_INTERNAL_H
