// The creation of one entry of a type-20 archive at its final name, in a
// directory the contained walk has opened. An entry replaces whatever stands
// at its name, as tar does: it is created exclusively and without following
// a link, and only when something is in the way is that removed and the
// creation tried once more (a directory only when it is empty). An existing
// directory meeting a directory entry is kept.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "pax.h"

mode_t pax_umask = 022;

namespace {

constexpr mode_t PERMISSION_BITS = 07777;
constexpr mode_t SPECIAL_BITS = 07000;  // set-id and sticky bits
constexpr int NEW_FILE_FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// Times past what time_t holds (a 32-bit one) are clamped.
timespec to_timespec(pax_time t) {
  constexpr int64_t latest = sizeof(time_t) >= 8 ? INT64_MAX : INT32_MAX;
  constexpr int64_t earliest = sizeof(time_t) >= 8 ? INT64_MIN : INT32_MIN;
  const int64_t seconds = t.seconds > latest ? latest : t.seconds < earliest ? earliest : t.seconds;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = t.nanoseconds;
  return ts;
}

// Only the modification time is restored; the access time is left alone.
void entry_times(pax_time mtime, timespec* times) {
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = to_timespec(mtime);
}

// Removes what stands at name: a file, a link or an empty directory.
int remove_existing(int dirfd, const char* name) {
  if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  const int unlink_error = errno;
  if (unlinkat(dirfd, name, AT_REMOVEDIR) == 0) return 0;
  if (errno == ENOTDIR) errno = unlink_error;
  return -1;
}

}  // namespace

int pax_set_file_time(int fd, pax_time mtime) {
  timespec times[2];
  entry_times(mtime, times);
  return futimens(fd, times);
}

int pax_create_file(int dirfd, const char* name, mode_t mode, const char* shown) {
  const mode_t permissions = mode & PERMISSION_BITS;
  int fd = openat(dirfd, name, NEW_FILE_FLAGS, permissions & 0777);
  if (fd < 0 && errno == EEXIST && remove_existing(dirfd, name) == 0) fd = openat(dirfd, name, NEW_FILE_FLAGS, permissions & 0777);
  if (fd < 0) return -1;
  // Files get the archive's mode exactly, as type 2 gives it, before any
  // data is written; only modes the umask changes need the extra call.
  if ((permissions & 0777 & ~pax_umask) != permissions && fchmod(fd, permissions) != 0)
    std::printf("Failed to chmod(%s, %o)\n", shown, static_cast<unsigned>(permissions));
  return fd;
}

bool pax_make_directory(int dirfd, const char* name, mode_t mode, pax_time mtime) {
  const mode_t wanted = mode & PERMISSION_BITS & ~pax_umask;
  // A directory its owner cannot fill is made with full owner rights and
  // gets its mode when the archive leaves it, after its contents.
  bool set_mode = (wanted & S_IRWXU) != S_IRWXU || (wanted & SPECIAL_BITS) != 0;
  if (mkdirat(dirfd, name, wanted | S_IRWXU) != 0) {
    if (errno != EEXIST) return false;
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      set_mode = true;
    } else if (remove_existing(dirfd, name) != 0 || mkdirat(dirfd, name, wanted | S_IRWXU) != 0) {
      return false;
    }
  }
  return pax_hold_directory(name, set_mode, wanted, mtime);
}

int pax_make_symlink(int dirfd, const char* name, const char* target, pax_time mtime) {
  if (symlinkat(target, dirfd, name) != 0) {
    if (errno != EEXIST || remove_existing(dirfd, name) != 0 || symlinkat(target, dirfd, name) != 0) return -1;
  }
  timespec times[2];
  entry_times(mtime, times);
  // Not every file system keeps times of links; the link stands regardless.
  utimensat(dirfd, name, times, AT_SYMLINK_NOFOLLOW);
  return 0;
}

int pax_make_hard_link(int target_dirfd, const char* target_name, int dirfd, const char* name) {
  // Flags 0: a symbolic link as target is linked itself, never followed.
  if (linkat(target_dirfd, target_name, dirfd, name, 0) == 0) return 0;
  if (errno != EEXIST || remove_existing(dirfd, name) != 0) return -1;
  return linkat(target_dirfd, target_name, dirfd, name, 0);
}
