// Splitting a search list such as "PATH", one entry per call.
#include "vnlib.h"

namespace vn {

namespace {

// Where the scan in progress continues; null when there is none.
char* path_list_position = nullptr;

}  // namespace

// Like strtok with one separator, but empty entries are kept: "a::b" gives
// "a", "", "b", and "a:" gives "a", "". The list is written to: every
// separator found becomes a NUL.
char* path_list_token(char* list, int sep) {
  if (list != nullptr) path_list_position = list;
  char* entry = path_list_position;
  if (entry == nullptr) return nullptr;
  char* p = entry;
  while (*p != '\0' && *p != static_cast<char>(sep)) ++p;
  if (*p != '\0') {
    *p = '\0';
    path_list_position = p + 1;
  } else {
    path_list_position = nullptr;
  }
  return entry;
}

}  // namespace vn
