// short_reads: preloaded into a program (LD_PRELOAD), it makes every read
// of a regular file return fewer bytes than asked, as reads from a pipe or
// a slow device may. A program that takes a short count for the end of the
// file then misses data that is there.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using read_fn = ssize_t (*)(int, void*, size_t);
using pread_fn = ssize_t (*)(int, void*, size_t, off_t);
using pread64_fn = ssize_t (*)(int, void*, size_t, off64_t);

// Counts cycle through 1..MAX_SHORT_READ, so reads end at ever other
// places relative to any block or chunk size.
constexpr size_t MAX_SHORT_READ = 29;
size_t next_count = 0;

size_t shortened(int fd, size_t wanted) {
  struct stat st;
  if (wanted <= 1 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return wanted;
  next_count = next_count % MAX_SHORT_READ + 1;
  return next_count < wanted ? next_count : wanted;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n) {
  static auto real = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
  return real(fd, buf, shortened(fd, n));
}

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
  static auto real = reinterpret_cast<pread_fn>(dlsym(RTLD_NEXT, "pread"));
  return real(fd, buf, shortened(fd, n), offset);
}

extern "C" ssize_t pread64(int fd, void* buf, size_t n, off64_t offset) {
  static auto real = reinterpret_cast<pread64_fn>(dlsym(RTLD_NEXT, "pread64"));
  return real(fd, buf, shortened(fd, n), offset);
}
