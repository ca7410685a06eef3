// The contained directory walk of the type-20 reader. Names are resolved
// one component at a time from a descriptor of the install directory, each
// directory opened with O_NOFOLLOW, so that no symbolic link, whether the
// archive made it or it was there before, is ever followed on the way to an
// entry. The descriptors of the directories the last entry was in stay
// open: the next entries of the same directory cost no walk. A directory
// gets the time (and a held-back mode) of its entry when the archive leaves
// it, after its contents; so memory stays bounded by the depth of a name.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "pax.h"

namespace {

struct directory_level {
  int fd;
  size_t end;  // length of the walk's path up to and including this level
  bool has_time;
  bool has_mode;
  mode_t mode;
  pax_time mtime;
};

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Missing parents of an entry are made as tar makes them: 0777 under the
// umask.
constexpr mode_t MISSING_PARENT_MODE = 0777;

// levels[0] is the install directory, levels[1..depth] the walk below it.
directory_level levels[PAX_DEPTH_LIMIT + 1];
// Directories their owner cannot fill keep their descriptor, their mode
// and time until the archive ends, since an archive may come back into a
// directory it has left (bsdtar writes a directory's files after its
// subdirectories). Past the limit, such a directory gets them when left.
directory_level locked[PAX_LOCKED_DIRECTORY_LIMIT];
size_t locked_count = 0;
size_t depth = 0;
bool root_open = false;
// The path of levels[depth], components joined by "/".
char walk_path[PAX_NAME_LIMIT];
char component[PAX_NAME_LIMIT];
// A second before the archive started: directories changed since then.
time_t walk_start = 0;

// A directory's path is known while it is in the walk; one held until the
// end is named by its mode only.
void apply_held(directory_level& level, bool in_walk) {
  if (level.has_mode && fchmod(level.fd, level.mode) != 0) {
    if (!in_walk) std::printf("Failed to chmod a directory to %o\n", static_cast<unsigned>(level.mode));
    else std::printf("Failed to chmod(%.*s, %o)\n", level.end == 0 ? 1 : static_cast<int>(level.end),
                     level.end == 0 ? "." : walk_path, static_cast<unsigned>(level.mode));
  }
  if (level.has_time) pax_set_file_time(level.fd, level.mtime);
  level.has_mode = level.has_time = false;
}

void leave_level() {
  directory_level& level = levels[depth--];
  if (level.has_mode && (level.mode & S_IRWXU) != S_IRWXU && locked_count < PAX_LOCKED_DIRECTORY_LIMIT) {
    locked[locked_count++] = level;
    return;
  }
  apply_held(level, true);
  close(level.fd);
}

// The deepest level whose path is the leading part of path[0..length).
size_t matching_depth(const char* path, size_t length) {
  for (size_t k = depth; k > 0; --k) {
    const size_t end = levels[k].end;
    if (end <= length && (end == length || path[end] == '/') && std::memcmp(walk_path, path, end) == 0) return k;
  }
  return 0;
}

// The component of path that starts at pos, copied and terminated.
size_t take_component(const char* path, size_t pos, size_t length) {
  const void* slash = std::memchr(path + pos, '/', length - pos);
  const size_t end = slash == nullptr ? length : static_cast<size_t>(static_cast<const char*>(slash) - path);
  std::memcpy(component, path + pos, end - pos);
  component[end - pos] = '\0';
  return end;
}

int open_directory(int parent_fd, bool create, bool* existed) {
  *existed = true;
  const int fd = openat(parent_fd, component, DIRECTORY_FLAGS);
  if (fd >= 0 || errno != ENOENT || !create) return fd;
  *existed = false;
  if (mkdirat(parent_fd, component, MISSING_PARENT_MODE) != 0 && errno != EEXIST) return -1;
  return openat(parent_fd, component, DIRECTORY_FLAGS);
}

void report_walk_failure(int parent_fd, const char* path, size_t end, const char* shown) {
  const int error = errno;
  struct stat st;
  if (fstatat(parent_fd, component, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
    std::printf("Cannot extract %s: %.*s is %s\n", shown, static_cast<int>(end), path,
                S_ISLNK(st.st_mode) ? "a symbolic link, which is not followed" : "not a directory");
  } else {
    std::printf("Cannot extract %s: %.*s: %s\n", shown, static_cast<int>(end), path, std::strerror(error));
  }
}

void push_level(int fd, size_t end) {
  ++depth;
  levels[depth] = {fd, end, false, false, 0, {0, 0}};
}

// An archive may come back into a directory it has left (bsdtar writes a
// directory's entry with its parent's and its files after its siblings'),
// when that directory has its time already. A directory whose time this
// run has set tells so by a change time since the start and a modification
// time apart from it; it gets that time back when it is left again, so its
// new entries do not leave it with the time of their creation.
void keep_time_set_earlier(directory_level& level) {
  struct stat st;
  if (fstat(level.fd, &st) != 0 || st.st_ctim.tv_sec < walk_start) return;
  if (st.st_mtim.tv_sec == st.st_ctim.tv_sec && st.st_mtim.tv_nsec == st.st_ctim.tv_nsec) return;
  level.has_time = true;
  level.mtime = {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec)};
}

}  // namespace

size_t pax_normalize(const char* name, char* out, unsigned* flags) {
  *flags = name[0] == '/' ? PAX_LEADING_SLASH : 0;
  size_t length = 0, components = 0;
  const char* p = name;
  for (;;) {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p != '\0' && *p != '/') ++p;
    const size_t n = static_cast<size_t>(p - start);
    if (n == 0) break;
    if (n == 1 && start[0] == '.') continue;
    if (n == 2 && start[0] == '.' && start[1] == '.') *flags |= PAX_DOT_DOT;
    if (length > 0) out[length++] = '/';
    std::memcpy(out + length, start, n);
    length += n;
    ++components;
  }
  out[length] = '\0';
  if (components > PAX_DEPTH_LIMIT) *flags |= PAX_TOO_DEEP;
  return length;
}

bool pax_paths_open() {
  depth = 0;
  walk_start = time(nullptr) - 1;
  levels[0] = {open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0, false, false, 0, {0, 0}};
  root_open = levels[0].fd >= 0;
  return root_open;
}

void pax_paths_close() {
  if (!root_open) return;
  while (depth > 0) leave_level();
  // The deepest first; a descriptor needs no permission of the parents.
  while (locked_count > 0) {
    directory_level& level = locked[--locked_count];
    apply_held(level, false);
    close(level.fd);
  }
  apply_held(levels[0], true);
  close(levels[0].fd);
  root_open = false;
}

int pax_enter_parent(const char* path, size_t parent_length, const char* shown) {
  if (!root_open) return -1;
  const size_t keep = matching_depth(path, parent_length);
  while (depth > keep) leave_level();
  size_t pos = depth == 0 ? 0 : levels[depth].end + 1;
  while (pos < parent_length) {
    const size_t start = levels[depth].end;
    const size_t end = take_component(path, pos, parent_length);
    bool existed = false;
    const int fd = depth < PAX_DEPTH_LIMIT ? open_directory(levels[depth].fd, true, &existed) : -1;
    if (fd < 0) {
      report_walk_failure(levels[depth].fd, path, end, shown);
      return -1;
    }
    std::memcpy(walk_path + start, path + start, end - start);
    push_level(fd, end);
    if (existed) keep_time_set_earlier(levels[depth]);
    pos = end + 1;
  }
  return levels[depth].fd;
}

int pax_find_parent(const char* path, size_t parent_length, const char* shown, bool* owned) {
  *owned = false;
  if (!root_open) return -1;
  const size_t level = matching_depth(path, parent_length);
  int fd = levels[level].fd;
  for (size_t pos = level == 0 ? 0 : levels[level].end + 1; pos < parent_length;) {
    const size_t end = take_component(path, pos, parent_length);
    bool existed = false;
    const int next = open_directory(fd, false, &existed);
    if (next < 0) report_walk_failure(fd, path, end, shown);
    if (*owned) close(fd);
    if (next < 0) return -1;
    fd = next;
    *owned = true;
    pos = end + 1;
  }
  return fd;
}

bool pax_hold_directory(const char* name, bool set_mode, mode_t mode, pax_time mtime) {
  if (name[0] != '\0') {
    if (depth == PAX_DEPTH_LIMIT) return false;
    const int fd = openat(levels[depth].fd, name, DIRECTORY_FLAGS);
    if (fd < 0) return false;
    const size_t start = levels[depth].end;
    const size_t length = std::strlen(name);
    size_t end = start;
    if (depth > 0) walk_path[end++] = '/';
    std::memcpy(walk_path + end, name, length);
    push_level(fd, end + length);
  }
  directory_level& level = levels[depth];
  level.has_time = true;
  level.mtime = mtime;
  level.has_mode = set_mode;
  level.mode = mode;
  return true;
}
