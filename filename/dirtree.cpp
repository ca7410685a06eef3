// Creating a directory together with the missing directories above it, and
// opening a file after creating the directories that lead to it.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "vnlib.h"

namespace vn {

namespace {

// Directories must stay searchable whatever mode the caller asked for.
constexpr mode_t kSearchBits = 0111;
// Appended to a directory name so that the directory becomes the directory
// part of a path.
constexpr const char* kPlaceholderName = "junk";

bool is_delim(char ch) { return filename_is_delim(static_cast<unsigned char>(ch)) != 0; }

// Cuts a writable path at one delimiter for the lifetime of the object.
class PathCut {
 public:
  explicit PathCut(char* at) : at_(at), saved_(*at) { *at_ = '\0'; }
  ~PathCut() { *at_ = saved_; }
  PathCut(const PathCut&) = delete;
  PathCut& operator=(const PathCut&) = delete;

 private:
  char* at_;
  char saved_;
};

int make_one_directory(const char* dir, mode_t mode) { return port_mkdir(dir, mode | kSearchBits); }

bool is_existing_directory(const char* dir) {
  struct stat info {};
  return stat(dir, &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR;
}

// Creates every prefix of path that ends before a delimiter, in order, up to
// the one ending at last. Failures along the way (an ancestor that exists)
// do not stop it. The directory counts as made when the final call succeeds
// or finds a directory already there: a name with a trailing delimiter
// repeats its final prefix ("a/b/" after "a/b").
int make_every_ancestor(char* path, char* last, mode_t mode) {
  int result = -1;
  for (char* p = path + 1; p <= last; ++p) {
    if (!is_delim(*p)) continue;
    PathCut cut(p);
    result = make_one_directory(path, mode);
    if (result != 0 && errno == EEXIST && p == last && is_existing_directory(path)) result = 0;
  }
  return result;
}

}  // namespace

int port_mkdir(const char* path, mode_t mode) { return mkdir(path, mode); }

int make_directory_tree(const char* dir, mode_t mode) {
  if (dir == nullptr || dir[0] == '\0') {
    std::printf("make_directory_tree: Attempting to make NULL directory\n");
    return -1;
  }
  char* path = chk_makestr(dir, wild_filename_delimiter, kPlaceholderName, nullptr);
  if (path == nullptr) return -1;
  int result = make_directory_tree2(path, mode);
  chk_free(path);
  return result;
}

// The directory part of path exists afterwards: 0, else -1. Any entry found
// under the directory's own name counts as existing, whatever its type. The
// path is cut at its delimiters while this runs and comes back unchanged.
int make_directory_tree2(char* path, mode_t mode) {
  if (path == nullptr) return -1;
  char* last = filename_last_component(path);
  if (last == nullptr) return -1;
  {
    // A delimiter at the start leaves the root as the directory part.
    char* cut_at = last == path ? last + 1 : last;
    PathCut cut(cut_at);
    if (make_one_directory(path, mode) == 0 || errno == EEXIST) return 0;
  }
  return make_every_ancestor(path, last, mode);
}

namespace {

// make_directory_tree2 on a private copy, since the caller's path is const.
bool make_directories_for(const char* path, mode_t mode) {
  char* copy = chk_strdup(path);
  if (copy == nullptr) return false;
  int result = make_directory_tree2(copy, mode);
  chk_free(copy);
  return result != -1;
}

}  // namespace

int mkdir_open(const char* path, int flags, mode_t mode) {
  int fd = open(path, flags, mode);
  if (fd >= 0 || path == nullptr) return fd;
  if (!make_directories_for(path, mode)) return -1;
  return open(path, flags, mode);
}

FILE* mkdir_fopen(const char* path, const char* fmode, mode_t dmode) {
  FILE* stream = std::fopen(path, fmode);
  if (stream != nullptr || path == nullptr) return stream;
  if (!make_directories_for(path, dmode)) return nullptr;
  return std::fopen(path, fmode);
}

}  // namespace vn
