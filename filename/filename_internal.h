// filename_internal.h - helpers shared by the file-name services, not part
// of the library's interface.
#ifndef VN_FILENAME_INTERNAL_H
#define VN_FILENAME_INTERNAL_H

#include <cstddef>

namespace vn {

// A new string holding the first length bytes of text, terminated.
char* copy_prefix(const char* text, size_t length);

}  // namespace vn

#endif  // VN_FILENAME_INTERNAL_H
