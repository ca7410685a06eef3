// Collecting every directory below a directory, for the "**" component of a
// glob pattern. The walk opens each directory relative to its parent's open
// handle instead of changing the working directory, so the process's working
// directory is never touched, and it refuses to enter symbolic links, so it
// ends on any finite tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

struct tree_walk {
  dstr* list;
  int flags;
  // The rest of the pattern when it is a plain path: only directories that
  // hold it are collected. Null when every directory is collected.
  const char* probe_rest;
  int added;
};

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool is_plain_path(const char* rest) {
  return rest != nullptr && rest[0] != '\0' && std::strpbrk(rest, "$*[?") == nullptr;
}

// directory + delimiter + name, without doubling a delimiter that the
// directory already ends with.
char* join_path(const char* directory, const char* name) {
  size_t length = std::strlen(directory);
  bool ends_in_delimiter = length > 0 && is_delim_char(directory[length - 1]);
  return chk_makestr(directory, ends_in_delimiter ? "" : filename_delimiter(), name, nullptr);
}

// A directory in its own right: symbolic links never count. The entry's own
// type saves a status call where the system's directory entries carry one.
bool is_real_directory(int parent_fd, const dirent* entry) {
#ifdef DT_UNKNOWN
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
#endif
  struct stat status {};
  return fstatat(parent_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && is_directory(status);
}

bool holds_rest(const char* path, const char* rest, int flags) {
  char* probe = join_path(path, rest);
  if (probe == nullptr) return false;
  struct stat status {};
  bool found = wild_stat(probe, &status, flags) == 0;
  chk_free(probe);
  return found;
}

// Hands path over to the list; false (path still the caller's) when the list
// cannot grow.
bool append_path(tree_walk* walk, char* path) {
  int32_t before = walk->list->dl_len;
  dstr_add_mem(walk->list, &path, sizeof path);
  if (walk->list->dl_str == nullptr || walk->list->dl_len != before + static_cast<int32_t>(sizeof path))
    return false;
  ++walk->added;
  return true;
}

// Walks the open directory dir_fd (named path), taking over the handle.
void walk_directory(tree_walk* walk, int dir_fd, const char* path) {
  DIR* directory = fdopendir(dir_fd);
  if (directory == nullptr) {
    close(dir_fd);
    return;
  }
  while (const dirent* entry = readdir(directory)) {
    if (is_dot_or_dotdot(entry->d_name) || !is_real_directory(dirfd(directory), entry)) continue;
    char* child = join_path(path, entry->d_name);
    if (child == nullptr) continue;
    // A longer path could not be named to the system anyway, which bounds
    // the depth of the walk.
    if (std::strlen(child) >= PATH_MAX) {
      chk_free(child);
      continue;
    }
    bool collected = (walk->probe_rest == nullptr || holds_rest(child, walk->probe_rest, walk->flags)) &&
                     append_path(walk, child);
    int child_fd = openat(dirfd(directory), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child_fd >= 0) walk_directory(walk, child_fd, child);
    if (!collected) chk_free(child);
  }
  closedir(directory);
}

// The directory as an absolute name; null when the working directory
// cannot be named.
char* absolute_directory(const char* directory) {
  if (is_absolute(directory)) return chk_strdup(directory);
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return nullptr;
  return join_path(cwd, directory);
}

}  // namespace

int wild_walk_tree(dstr* list, const char* directory, int flags, int /*depth*/, const char* rest) {
  if (list == nullptr || directory == nullptr) return 0;
  struct stat status {};
  if (wild_stat(directory, &status, flags) == 0 && !is_directory(status)) return 0;
  char* start = absolute_directory(directory);
  if (start == nullptr) return 0;
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  tree_walk walk{list, flags, is_plain_path(rest) ? rest : nullptr, 0};
  if (fd >= 0) walk_directory(&walk, fd, start);
  chk_free(start);
  return walk.added;
}

}  // namespace vn
