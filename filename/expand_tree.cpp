// Listing every file below a directory, or below the matches of a pattern.
#include <sys/stat.h>

#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

// Directories deeper than this below the starting point are not entered.
constexpr int kMaxTreeDepth = 1000;

using Entries = ChkArray<glob_entry>;

// The directories entered on the way down to the current one. A directory
// reached again through a symbolic link is not entered a second time, so a
// link to an ancestor cannot multiply the walk.
struct Ancestor {
  dev_t device;
  ino_t inode;
  const Ancestor* parent;
};

bool is_ancestor(const Ancestor* chain, const struct stat& status) {
  for (; chain != nullptr; chain = chain->parent) {
    if (chain->device == status.st_dev && chain->inode == status.st_ino) return true;
  }
  return false;
}

bool is_dot_or_dot_dot(const char* name) {
  const char* last = filename_basename(name);
  return std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0;
}

bool collect(const char* pattern, int flags, int depth, const Ancestor* chain, Entries& found);

// Collects the entries below one directory of the walk.
bool descend(const glob_entry& dir, int flags, int depth, const Ancestor* chain, Entries& found) {
  if (depth >= kMaxTreeDepth || is_dot_or_dot_dot(dir.ge_name) || is_ancestor(chain, dir.ge_stat)) {
    return true;
  }
  const Ancestor self{dir.ge_stat.st_dev, dir.ge_stat.st_ino, chain};
  char* pattern = chk_makestr(dir.ge_name, filename_delimiter(), "*", nullptr);
  if (pattern == nullptr) return false;
  const bool ok = collect(pattern, flags | WILD_TREE_DESCENT, depth + 1, &self, found);
  chk_free(pattern);
  return ok;
}

// Globs the pattern; files go to found, directories are walked and their
// own entries dropped. False when memory ran out.
bool collect(const char* pattern, int flags, int depth, const Ancestor* chain, Entries& found) {
  glob_entry* matches = glob_filenames(pattern, flags);
  if (matches == nullptr) return false;  // only when memory ran out
  bool ok = true;
  for (glob_entry* entry = matches; entry->ge_name != nullptr; ++entry) {
    if (ok && !is_directory(entry->ge_stat)) {
      ok = found.push(*entry);
      if (ok) continue;  // the name now belongs to found
    } else if (ok) {
      ok = descend(*entry, flags, depth, chain, found);
    }
    chk_free(entry->ge_name);
  }
  chk_free(matches);
  return ok;
}

}  // namespace

// A path whose last component holds a wildcard is globbed whole ("src/*.c"
// lists the matches in src); any other path is taken as a directory whose
// entries are listed. Which kinds of entries the globs return is up to
// WILD_FILES, WILD_DIRS and WILD_DOTFILES in the flags: without WILD_DIRS
// no directory is walked.
glob_entry* expand_directory_tree(const char* path, int flags) {
  // An empty path names no directory; joined with "/*" it would walk the
  // whole file system from the root.
  if (path == nullptr || path[0] == '\0') return nullptr;
  Entries found;
  bool ok = false;
  if (is_wildcard(filename_basename(path)) != 0) {
    ok = collect(path, flags, 0, nullptr, found);
  } else {
    struct stat status {};
    const bool is_dir = stat(path, &status) == 0 && is_directory(status);
    const Ancestor start{status.st_dev, status.st_ino, nullptr};
    char* pattern = chk_makestr(path, filename_delimiter(), "*", nullptr);
    ok = pattern != nullptr && collect(pattern, flags, 0, is_dir ? &start : nullptr, found);
    chk_free_safe(pattern);
  }
  if (!ok || found.count == 0 || !found.push(glob_entry{})) {
    release_glob_entries(found);
    return nullptr;
  }
  return found.take();
}

}  // namespace vn
