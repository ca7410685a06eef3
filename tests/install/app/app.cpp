// A program that uses the installed library.
#include <cstdio>

#include "vnlib.h"

int main() {
  const char text[] = "123456789";
  std::printf("crc 0x%08x\n", vn::crc32(text, sizeof text - 1));
  char* dir = vn::dirname("a/b/c");
  std::printf("dirname %s\n", dir ? dir : "(null)");
  vn::chk_free(dir);
  return 0;
}
