// filename_internal.h - helpers shared by the file-name services, not part
// of the library's interface.
#ifndef VN_FILENAME_INTERNAL_H
#define VN_FILENAME_INTERNAL_H

#include <sys/stat.h>

#include <cstddef>

#include "vnlib.h"

namespace vn {

inline bool is_delim_char(char ch) { return filename_is_delim(static_cast<unsigned char>(ch)) != 0; }

inline bool is_directory(const struct stat& status) { return (status.st_mode & S_IFMT) == S_IFDIR; }

// A new string holding the first length bytes of text, terminated.
char* copy_prefix(const char* text, size_t length);

}  // namespace vn

#endif  // VN_FILENAME_INTERNAL_H
