// port_files.cpp - the 64-bit file calls and the socket and drive names,
// mapped onto this system's calls. Each returns what the system call returns
// and leaves errno as the call left it.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vnlib.h"

namespace vn {

int stat64(const char* path, struct stat* st) { return ::stat(path, st); }

int lstat64(const char* path, struct stat* st) { return ::lstat(path, st); }

int fstat64(int fd, struct stat* st) { return ::fstat(fd, st); }

int open64(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

int64_t sys_lseek64(int fd, int64_t offset, int whence) { return ::lseek(fd, offset, whence); }

int closesocket(int fd) { return ::close(fd); }

int ioctlsocket(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

int _chdrive(int) { return 0; }

}  // namespace vn
