// Finding an executable: by its own name when it has a directory part, else
// through a search list such as "PATH".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "filename_internal.h"
#include "vnlib.h"

namespace vn {

namespace {

constexpr int kMaxSymlinkHops = 100;
constexpr size_t kLinkTargetBufferSize = 1024;
constexpr mode_t kAnyExecuteBits = 0111;
constexpr mode_t kOwnerExecuteBit = 0100;

bool is_delim(char ch) { return filename_is_delim(static_cast<unsigned char>(ch)) != 0; }

bool is_directory(mode_t mode) { return (mode & S_IFMT) == S_IFDIR; }
bool is_symlink(mode_t mode) { return (mode & S_IFMT) == S_IFLNK; }

bool starts_with_dot_delim(const char* name) { return name[0] == '.' && is_delim(name[1]); }

// Only a test that the file opens: without O_NONBLOCK a FIFO would wait for
// a writer forever, and a terminal must not become the controlling one.
bool readable(const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Replaces the last component of the link path in current by target, or all
// of it when target is absolute: a relative link target is relative to the
// directory holding the link. False when the result does not fit in size.
bool follow_link(char* current, size_t size, const char* target) {
  size_t keep = 0;
  if (!is_absolute(target)) {
    const char* last = filename_last_component(current);
    if (last != nullptr) keep = static_cast<size_t>(last - current) + 1;
  }
  const size_t length = std::strlen(target);
  if (keep + length >= size) return false;
  std::memcpy(current + keep, target, length + 1);
  return true;
}

// The mode of the entry at the end of the link chain that starts at path.
// A chain that cannot be followed to its end (a dangling or overlong chain,
// or a name too long for the system) falls back to fallback, the mode that
// stat reported.
mode_t link_chain_mode(const char* path, mode_t fallback) {
  char current[PATH_MAX];
  if (std::strlen(path) >= sizeof current) return fallback;
  std::strcpy(current, path);
  struct stat info {};
  for (int hops = 0;; ++hops) {
    if (lstat(current, &info) != 0) return fallback;
    if (!is_symlink(info.st_mode)) return info.st_mode;
    if (hops == kMaxSymlinkHops) return fallback;
    char target[kLinkTargetBufferSize];
    ssize_t length = readlink(current, target, sizeof target - 1);
    if (length < 0) return fallback;
    target[length] = '\0';
    if (!follow_link(current, sizeof current, target)) return fallback;
  }
}

// Removes every double quote of a writable text in place.
void remove_double_quotes(char* text) {
  char* out = text;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '"') *out++ = *p;
  }
  *out = '\0';
}

// entry joined with name, with a leading "~" of the result expanded.
char* search_candidate(const char* entry, const char* name) {
  char* joined = filename_append_filename(entry, name);
  if (joined != nullptr && joined[0] == '~') {
    char* expanded = tilde_expand(joined);
    chk_free(joined);
    joined = expanded;
  }
  return joined;
}

char path_list_separator() { return filename_path_delimiter()[0]; }

// The owner execute bit of a non-directory that stat can see, or 0.
time_t executable_mtime(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return 0;
  if (is_directory(info.st_mode) || (info.st_mode & kOwnerExecuteBit) == 0) return 0;
  return info.st_mtime;
}

// Ends the list scan in progress, so that no position into a list that is
// about to be released survives.
void end_path_list_scan() {
  char empty[1] = "";
  path_list_token(empty, path_list_separator());
}

void store_found_directory(char** dir_out, const char* entry) {
  if (dir_out == nullptr) return;
  chk_free_safe(*dir_out);
  *dir_out = entry[0] == '~' ? tilde_expand(entry) : chk_strdup(entry);
}

}  // namespace

// A new copy of path (less a leading "./") when it names a readable file,
// not a directory, with an execute bit set; otherwise null.
char* check_exec_file(const char* path) {
  if (path == nullptr || !readable(path)) return nullptr;
  struct stat info {};
  if (stat(path, &info) != 0) return nullptr;
  const char* shown = starts_with_dot_delim(path) ? path + 2 : path;
  if (is_directory(info.st_mode)) return nullptr;
  if ((link_chain_mode(path, info.st_mode) & kAnyExecuteBits) == 0) return nullptr;
  return chk_strdup(shown);
}

// The executable that name denotes, as found, or null. Without a search
// list nothing is looked up, not even a name with a directory part.
char* find_exec_path2(const char* list, const char* name) {
  if (list == nullptr || name == nullptr) return nullptr;

  if (filename_first_component(name) != nullptr) {
    if (is_absolute(name)) return check_exec_file(name);
    // "./", ".//" ...: the name that follows is still relative, so the
    // delimiters after the "." go too ("./" + "/prog" would join as "/prog").
    while (starts_with_dot_delim(name)) {
      ++name;
      while (is_delim(*name)) ++name;
    }
    char* joined = filename_append_filename(get_cwd(), name);
    char* found = check_exec_file(joined);
    chk_free_safe(joined);
    return found;
  }

  char* entries = chk_strdup(list);
  if (entries == nullptr) return nullptr;
  char* found = nullptr;
  const char separator = path_list_separator();
  for (char* entry = path_list_token(entries, separator); entry != nullptr;
       entry = path_list_token(nullptr, separator)) {
    remove_double_quotes(entry);
    char* candidate = search_candidate(entry[0] != '\0' ? entry : ".", name);
    found = check_exec_file(candidate);
    chk_free_safe(candidate);
    if (found != nullptr) break;
  }
  end_path_list_scan();
  chk_free(entries);
  return found;
}

// As find_exec_path2, made canonical when the path resolves.
char* find_exec_path(const char* list, const char* name) {
  char* found = find_exec_path2(list, name);
  if (found == nullptr) return nullptr;
  char* canonical = realpath(found, nullptr);
  if (canonical == nullptr) return found;
  char* result = chk_strdup(canonical);
  std::free(canonical);
  if (result == nullptr) return found;
  chk_free(found);
  return result;
}

// The modification time of the first executable named name in the entries
// of list, or 0. Unlike find_exec_path2 the entries keep their quotes, the
// file is not opened, and the owner execute bit is required.
time_t search_path_mtime(const char* list, const char* name, char** dir_out) {
  if (list == nullptr || name == nullptr) return 0;
  char* entries = chk_strdup(list);
  if (entries == nullptr) return 0;
  time_t result = 0;
  const char separator = path_list_separator();
  for (char* entry = path_list_token(entries, separator); entry != nullptr;
       entry = path_list_token(nullptr, separator)) {
    const char* directory = entry[0] != '\0' ? entry : ".";
    char* candidate = search_candidate(directory, name);
    result = candidate != nullptr ? executable_mtime(candidate) : 0;
    chk_free_safe(candidate);
    if (result != 0) {
      store_found_directory(dir_out, directory);
      break;
    }
  }
  end_path_list_scan();
  chk_free(entries);
  return result;
}

// A name with a directory part is taken as it is; dir_out then receives
// that directory part ("" for a name directly under the root). Other names
// are searched in "PATH" and, failing that, in "VNPATH".
time_t find_executable_mtime(const char* name, char** dir_out) {
  if (name == nullptr) return 0;
  const char* last = filename_last_component(name);
  if (last != nullptr) {
    if (dir_out != nullptr) *dir_out = copy_prefix(name, static_cast<size_t>(last - name));
    struct stat info {};
    return stat(name, &info) == 0 ? info.st_mtime : 0;
  }
  time_t result = search_path_mtime(std::getenv("PATH"), name, dir_out);
  if (result == 0) result = search_path_mtime(std::getenv("VNPATH"), name, dir_out);
  return result;
}

}  // namespace vn
