// port_system.cpp - user and group identities, host and system names.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

// What setruid and setrgid give: a failure other than the usual -1, so a
// caller can tell "not offered here" from a refused call.
constexpr int NOT_OFFERED = -2;

// One text field of uname (node name, system name ...).
using UnameField = char (utsname::*)[sizeof(utsname::sysname)];

// Fills buf with one field of uname, cut to SYSTEM_NAME_BUFFER_SIZE - 1
// characters; an empty text and -1 when uname fails.
int copy_uname_field(char* buf, UnameField field) {
  buf[0] = '\0';
  struct utsname names;
  if (::uname(&names) != 0) return -1;
  const char* name = names.*field;
  const size_t length = strnlen(name, std::min(sizeof(names.*field), SYSTEM_NAME_BUFFER_SIZE - 1));
  std::memcpy(buf, name, length);
  buf[length] = '\0';
  return 0;
}

}  // namespace

int setruid(uid_t) { return NOT_OFFERED; }

int setrgid(gid_t) { return NOT_OFFERED; }

int get_hostname(char* buf, size_t len) { return ::gethostname(buf, len); }

long my_gethostid() { return ::gethostid(); }

int get_nodename(char* buf) { return copy_uname_field(buf, &utsname::nodename); }

int get_systemname(char* buf) { return copy_uname_field(buf, &utsname::sysname); }

}  // namespace vn
