// tree_scan.cpp - walking a tree for an --archive item.
#include "tree_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "errors.h"
#include "tar_writer.h"

namespace vnpack {

namespace {

struct Scanner {
  ScanOptions options;
  std::vector<TarEntry> entries;
  std::set<FileId> open_dirs;  // the directories on the current path
  std::string left_out_path;
  std::vector<std::string> refusals;  // one line per entry the archive cannot hold

  void scan_dir(const std::string& disk_path, const std::string& prefix);
  void add(const std::string& disk_path, const std::string& name);
  bool take_symlink(TarEntry& entry, struct stat& st);
  bool take_file(TarEntry& entry, const struct stat& st);
};

std::string join_path(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// What kind of file this is, for a refusal.
const char* kind_of(mode_t mode) {
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file or directory";
}

std::vector<std::string> sorted_names(const std::string& disk_path) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(disk_path.c_str()), ::closedir);
  if (!dir) fail_errno(disk_path, "cannot read directory");
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* d = ::readdir(dir.get());
    if (!d) {
      if (errno != 0) fail_errno(disk_path, "cannot read directory");
      break;
    }
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    names.emplace_back(d->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_link(const std::string& path, size_t size_hint) {
  std::vector<char> buf(size_hint + 1);
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) fail_errno(path, "cannot read the symbolic link");
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);  // the link changed since lstat
  }
}

void Scanner::scan_dir(const std::string& disk_path, const std::string& prefix) {
  for (const std::string& name : sorted_names(disk_path))
    add(join_path(disk_path, name), prefix + name);
}

// A link is stored as a link (zstd), as what it points to (--dereference),
// or refused. Returns false when it is refused; st then describes what is
// stored.
bool Scanner::take_symlink(TarEntry& entry, struct stat& st) {
  if (options.dereference) {
    if (::stat(entry.source.c_str(), &st) != 0) fail_errno(entry.source, "cannot follow the symbolic link");
    return true;
  }
  if (!options.full_tar) {
    refusals.push_back(entry.source +
                       ": is a symbolic link, which a bzip2 archive (type 2) cannot hold; use --compress zstd "
                       "to store it as a link, or --dereference to store what it points to");
    return false;
  }
  entry.kind = EntryKind::symlink;
  entry.link_target = read_link(entry.source, static_cast<size_t>(st.st_size));
  return true;
}

bool Scanner::take_file(TarEntry& entry, const struct stat& st) {
  // Found now, an unreadable file stops the build before anything is
  // compressed rather than part-way through.
  if (::access(entry.source.c_str(), R_OK) != 0) fail_errno(entry.source, "cannot open");
  entry.size = static_cast<uint64_t>(st.st_size);
  entry.id = {st.st_dev, st.st_ino};
  entry.nlink = static_cast<unsigned>(st.st_nlink);
  if (!options.full_tar && entry.size >= TAR_SIZE_LIMIT) {
    refusals.push_back(entry.source + ": file is 8 GiB or larger (" + std::to_string(entry.size) +
                       " bytes); a bzip2 archive (type 2) holds files up to " +
                       std::to_string(TAR_SIZE_LIMIT - 1) + " bytes; --compress zstd stores larger ones");
    return false;
  }
  return true;
}

void Scanner::add(const std::string& disk_path, const std::string& name) {
  struct stat st {};
  if (::lstat(disk_path.c_str(), &st) != 0) fail_errno(disk_path, "cannot get the file status");
  TarEntry entry;
  entry.source = disk_path;
  entry.name = name;
  if (S_ISLNK(st.st_mode) && !take_symlink(entry, st)) return;

  if (options.left_out && *options.left_out == FileId{st.st_dev, st.st_ino} && S_ISREG(st.st_mode)) {
    left_out_path = disk_path;
    return;
  }
  // The ustar writer of type 2 has always stored the permission bits alone.
  entry.mode = static_cast<uint32_t>(st.st_mode & (options.full_tar ? 07777 : 0777));
  entry.mtime = static_cast<int64_t>(st.st_mtime);
  if (entry.kind == EntryKind::symlink) {
    entry.mode = 0777;
  } else if (S_ISDIR(st.st_mode)) {
    entry.name += "/";
    entry.kind = EntryKind::dir;
  } else if (S_ISREG(st.st_mode)) {
    if (!take_file(entry, st)) return;
  } else {
    refusals.push_back(disk_path + ": is " + kind_of(st.st_mode) + "; only regular files" +
                       (options.full_tar ? ", directories and symbolic links" : " and directories") +
                       " can be archived");
    return;
  }
  if (!options.full_tar && entry.name.size() > TAR_NAME_MAX)
    refusals.push_back(disk_path + ": name in the archive is " + std::to_string(entry.name.size()) +
                       " bytes long; the limit of a bzip2 archive (type 2) is " + std::to_string(TAR_NAME_MAX) +
                       " (\"" + entry.name + "\"); --compress zstd stores names of any length");
  if (!entry.is_dir()) {
    entries.push_back(std::move(entry));
    return;
  }

  FileId id{st.st_dev, st.st_ino};
  if (open_dirs.count(id))
    throw Failure(disk_path + ": symbolic link loop: it leads back to a directory that holds it");
  entries.push_back(std::move(entry));
  open_dirs.insert(id);
  scan_dir(disk_path, name + "/");
  open_dirs.erase(id);
}

}  // namespace

void copy_entry_data(const TarEntry& entry, ByteSink& out, bool dereference) {
  int flags = O_RDONLY | O_CLOEXEC | (dereference ? 0 : O_NOFOLLOW);
  Fd fd(::open(entry.source.c_str(), flags));
  if (!fd.valid()) fail_errno(entry.source, "cannot open");
  std::vector<char> buf(IO_CHUNK);
  uint64_t left = entry.size;
  while (left > 0) {
    size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
    size_t got = read_some(fd.get(), buf.data(), want, entry.source);
    if (got == 0) throw Failure(entry.source + ": file became shorter while it was being archived");
    out.write(buf.data(), got);
    left -= got;
  }
  char extra;
  if (read_some(fd.get(), &extra, 1, entry.source) != 0)
    throw Failure(entry.source + ": file grew while it was being archived");
}

std::vector<TarEntry> scan_tree(const std::string& dir, const ScanOptions& options, std::string* left_out_path) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) fail_errno(dir, "cannot get the file status");
  if (!S_ISDIR(st.st_mode)) throw Failure(dir + ": not a directory");
  Scanner scanner{options, {}, {}, {}, {}};
  scanner.open_dirs.insert({st.st_dev, st.st_ino});
  scanner.scan_dir(dir, "");
  if (!scanner.refusals.empty()) throw Failure(as_lines(scanner.refusals));
  // Per-directory order is not global bytewise order ("a-b" sorts before
  // "a/"), so sort the whole list; a directory's name is a prefix of its
  // contents' names and so still comes first.
  std::sort(scanner.entries.begin(), scanner.entries.end(),
            [](const TarEntry& a, const TarEntry& b) { return a.name < b.name; });
  if (left_out_path != nullptr) *left_out_path = scanner.left_out_path;
  return std::move(scanner.entries);
}

}  // namespace vnpack
