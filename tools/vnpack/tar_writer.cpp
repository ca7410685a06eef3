// tar_writer.cpp - scanning a tree and writing it as ustar.
#include "tar_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "errors.h"

namespace vnpack {

namespace {

struct Scanner {
  ScanOptions options;
  std::vector<TarEntry> entries;
  std::set<FileId> open_dirs;  // the directories on the current path
  std::string left_out_path;

  void scan_dir(const std::string& disk_path, const std::string& prefix);
  void add(const std::string& disk_path, const std::string& name);
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

void Scanner::scan_dir(const std::string& disk_path, const std::string& prefix) {
  for (const std::string& name : sorted_names(disk_path))
    add(join_path(disk_path, name), prefix + name);
}

void Scanner::add(const std::string& disk_path, const std::string& name) {
  struct stat st {};
  if (::lstat(disk_path.c_str(), &st) != 0) fail_errno(disk_path, "cannot get the file status");
  if (S_ISLNK(st.st_mode)) {
    if (!options.dereference)
      throw Failure(disk_path + ": is a symbolic link (use --dereference to store what it points to)");
    if (::stat(disk_path.c_str(), &st) != 0) fail_errno(disk_path, "cannot follow the symbolic link");
  }

  if (options.left_out && *options.left_out == FileId{st.st_dev, st.st_ino} && S_ISREG(st.st_mode)) {
    left_out_path = disk_path;
    return;
  }

  TarEntry entry;
  entry.source = disk_path;
  entry.mode = static_cast<uint32_t>(st.st_mode & 0777);
  if (S_ISDIR(st.st_mode)) {
    entry.name = name + "/";
    entry.is_dir = true;
  } else if (S_ISREG(st.st_mode)) {
    // Found now, an unreadable file stops the build before anything is
    // compressed rather than part-way through.
    if (::access(disk_path.c_str(), R_OK) != 0) fail_errno(disk_path, "cannot open");
    entry.name = name;
    entry.size = static_cast<uint64_t>(st.st_size);
    if (entry.size >= TAR_SIZE_LIMIT)
      throw Failure(disk_path + ": file is 8 GiB or larger (" + std::to_string(entry.size) +
                    " bytes); an archive holds files up to " + std::to_string(TAR_SIZE_LIMIT - 1) +
                    " bytes");
  } else {
    throw Failure(disk_path + ": is " + kind_of(st.st_mode) +
                  "; only regular files and directories can be archived");
  }
  if (entry.name.size() > TAR_NAME_MAX)
    throw Failure(disk_path + ": name in the archive is " + std::to_string(entry.name.size()) +
                  " bytes long; the limit is " + std::to_string(TAR_NAME_MAX) + " (\"" + entry.name +
                  "\")");
  if (!entry.is_dir) {
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

// A field of `width` bytes: width-1 octal digits, zero-padded, then NUL.
void put_octal(unsigned char* field, size_t width, uint64_t value) {
  field[width - 1] = '\0';
  for (size_t i = width - 1; i > 0; --i) {
    field[i - 1] = static_cast<unsigned char>('0' + (value & 7));
    value >>= 3;
  }
}

// ustar header field offsets and widths.
constexpr size_t NAME_AT = 0, MODE_AT = 100, UID_AT = 108, GID_AT = 116, SIZE_AT = 124,
                 MTIME_AT = 136, CHKSUM_AT = 148, TYPEFLAG_AT = 156, MAGIC_AT = 257,
                 VERSION_AT = 263, DEVMAJOR_AT = 329, DEVMINOR_AT = 337;

}  // namespace

std::vector<TarEntry> scan_tree(const std::string& dir, const ScanOptions& options, std::string* left_out_path) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) fail_errno(dir, "cannot get the file status");
  if (!S_ISDIR(st.st_mode)) throw Failure(dir + ": not a directory");
  Scanner scanner{options, {}, {}, {}};
  scanner.open_dirs.insert({st.st_dev, st.st_ino});
  scanner.scan_dir(dir, "");
  // Per-directory order is not global bytewise order ("a-b" sorts before
  // "a/"), so sort the whole list; a directory's name is a prefix of its
  // contents' names and so still comes first.
  std::sort(scanner.entries.begin(), scanner.entries.end(),
            [](const TarEntry& a, const TarEntry& b) { return a.name < b.name; });
  if (left_out_path != nullptr) *left_out_path = scanner.left_out_path;
  return std::move(scanner.entries);
}

void encode_tar_header(const TarEntry& entry, unsigned char* block) {
  std::memset(block, 0, TAR_BLOCK);
  std::memcpy(block + NAME_AT, entry.name.data(), std::min(entry.name.size(), TAR_NAME_MAX));
  put_octal(block + MODE_AT, 8, entry.mode);
  put_octal(block + UID_AT, 8, 0);
  put_octal(block + GID_AT, 8, 0);
  put_octal(block + SIZE_AT, 12, entry.is_dir ? 0 : entry.size);
  put_octal(block + MTIME_AT, 12, 0);
  block[TYPEFLAG_AT] = entry.is_dir ? '5' : '0';
  std::memcpy(block + MAGIC_AT, "ustar", 6);  // with its NUL
  std::memcpy(block + VERSION_AT, "00", 2);
  put_octal(block + DEVMAJOR_AT, 8, 0);
  put_octal(block + DEVMINOR_AT, 8, 0);

  // The checksum is the byte sum with its own field taken as blanks,
  // stored as six octal digits, NUL, blank.
  std::memset(block + CHKSUM_AT, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < TAR_BLOCK; ++i) sum += block[i];
  put_octal(block + CHKSUM_AT, 7, sum);
  block[CHKSUM_AT + 7] = ' ';
}

namespace {

// Copies exactly entry.size bytes of the file, then its padding.
void write_file_data(const TarEntry& entry, ByteSink& out, const ScanOptions& options) {
  int flags = O_RDONLY | O_CLOEXEC | (options.dereference ? 0 : O_NOFOLLOW);
  Fd fd(::open(entry.source.c_str(), flags));
  if (!fd.valid()) fail_errno(entry.source, "cannot open");
  std::vector<char> buf(IO_CHUNK);
  uint64_t left = entry.size;
  while (left > 0) {
    size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
    size_t got = read_some(fd.get(), buf.data(), want, entry.source);
    if (got == 0)
      throw Failure(entry.source + ": file became shorter while it was being archived");
    out.write(buf.data(), got);
    left -= got;
  }
  char extra;
  if (read_some(fd.get(), &extra, 1, entry.source) != 0)
    throw Failure(entry.source + ": file grew while it was being archived");
  static const char zeros[TAR_BLOCK] = {};
  size_t tail = static_cast<size_t>(entry.size % TAR_BLOCK);
  if (tail != 0) out.write(zeros, TAR_BLOCK - tail);
}

}  // namespace

uint64_t tar_stream_size(const std::vector<TarEntry>& entries) {
  uint64_t size = 2 * TAR_BLOCK;  // the closing zero blocks
  for (const TarEntry& entry : entries) size += TAR_BLOCK + (entry.size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
  return size;
}

void write_tar(const std::vector<TarEntry>& entries, ByteSink& out, const ScanOptions& options) {
  unsigned char block[TAR_BLOCK];
  for (const TarEntry& entry : entries) {
    encode_tar_header(entry, block);
    out.write(block, TAR_BLOCK);
    if (!entry.is_dir) write_file_data(entry, out, options);
  }
  std::memset(block, 0, TAR_BLOCK);
  out.write(block, TAR_BLOCK);
  out.write(block, TAR_BLOCK);
}

}  // namespace vnpack
