// The tar writer: a bzunzip writer that unpacks a tar archive into the
// current directory as its bytes arrive. Header blocks, data and padding may
// be split across calls anywhere; the state machine keeps one header block
// and the open file, so memory stays constant whatever the archive's size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "installer.h"
#include "vnlib.h"

namespace {

constexpr size_t TAR_NAME_OFFSET = 0, TAR_NAME_WIDTH = 100;
constexpr size_t TAR_MODE_OFFSET = 100, TAR_MODE_WIDTH = 8;
constexpr size_t TAR_SIZE_OFFSET = 124, TAR_SIZE_WIDTH = 12;
constexpr size_t TAR_TYPEFLAG_OFFSET = 156;
constexpr char TYPE_DIRECTORY = '5';
constexpr mode_t EXECUTE_BITS = 0111;
constexpr mode_t OWNER_WRITE = S_IWUSR;
constexpr size_t FILE_BUFFER_SIZE = 64 * 1024;
constexpr mode_t PERMISSION_BITS = 0777;
constexpr size_t FIRST_DEFERRED_CAPACITY = 64;

enum class tar_state { collecting_header, copying_data, skipping_padding, archive_ended };

struct tar_writer_state {
  tar_state state = tar_state::collecting_header;
  unsigned char header[TAR_BLOCK_SIZE];
  size_t header_fill = 0;
  uint64_t remaining_data = 0;
  uint64_t remaining_padding = 0;
  FILE* file = nullptr;              // the entry being written, if it could be created
  char name[TAR_NAME_WIDTH + 1] = {};    // the entry's name as stored, terminated
  bool failed = false;               // some entry of this archive was not unpacked
};

tar_writer_state tar;

// A directory the archive wants without write permission for its owner is
// made writable first, so that the entries the archive puts into it can be
// created, and gets its own mode when the archive ends. The table grows
// with the directories the archive holds and is freed when it ends; only
// when no memory is left for it does a directory get its mode at once.
struct deferred_directory {
  char name[TAR_NAME_WIDTH + 1];
  mode_t mode;
};
deferred_directory* deferred_directories = nullptr;
size_t deferred_count = 0;
size_t deferred_capacity = 0;
// The process's umask, read when an archive starts: a new file created
// with a mode the umask leaves whole needs no chmod.
mode_t creation_mask = 0;
// The buffer of the entry file; one is open at a time.
char file_buffer[FILE_BUFFER_SIZE];

// A write or close failed: the entry's remaining data is dropped.
void report_write_error() {
  std::printf("Error writing file %s\n", tar.name);
  tar.failed = true;
}

void close_entry_file() {
  if (tar.file == nullptr) return;
  if (std::fclose(tar.file) != 0) report_write_error();
  tar.file = nullptr;
}

void write_entry_data(const char* data, size_t n) {
  if (tar.file == nullptr || std::fwrite(data, 1, n, tar.file) == n) return;
  report_write_error();
  std::fclose(tar.file);
  tar.file = nullptr;
}

bool reserve_deferred(size_t n) {
  if (n <= deferred_capacity) return true;
  size_t capacity = deferred_capacity > 0 ? deferred_capacity : FIRST_DEFERRED_CAPACITY;
  while (capacity < n) capacity *= 2;
  void* grown = std::realloc(deferred_directories, capacity * sizeof(deferred_directory));
  if (grown == nullptr) return false;
  deferred_directories = static_cast<deferred_directory*>(grown);
  deferred_capacity = capacity;
  return true;
}

void free_deferred() {
  std::free(deferred_directories);
  deferred_directories = nullptr;
  deferred_count = 0;
  deferred_capacity = 0;
}

// Records the directories on the way to path (path included) that do not
// exist yet, to get `mode` when the archive ends; returns false, recording
// nothing, when the table has no room for them all.
bool defer_missing_directories(char* path, mode_t mode) {
  size_t ends[TAR_NAME_WIDTH + 1];
  size_t count = 0;
  const size_t length = std::strlen(path);
  for (size_t i = 1; i <= length; ++i) {
    if ((i < length && path[i] != '/') || path[i - 1] == '/') continue;
    const char kept = path[i];
    path[i] = '\0';
    struct stat st;
    if (stat(path, &st) != 0) ends[count++] = i;
    path[i] = kept;
  }
  if (!reserve_deferred(deferred_count + count)) return false;
  for (size_t k = 0; k < count; ++k) {
    deferred_directory& d = deferred_directories[deferred_count++];
    std::memcpy(d.name, path, ends[k]);
    d.name[ends[k]] = '\0';
    d.mode = mode;
  }
  return true;
}

// Makes the directory path with `mode` plus the execute bits. A mode
// without write permission for the owner would lock out the entries the
// archive puts into the new directories (for a user other than root): they
// are made writable and get their mode when the archive ends. Directories
// that exist already keep theirs.
int make_directories(char* path, mode_t mode) {
  const mode_t wanted = mode | EXECUTE_BITS;
  if ((wanted & OWNER_WRITE) == 0 && defer_missing_directories(path, wanted))
    return vn::make_directory_tree(path, wanted | OWNER_WRITE);
  return vn::make_directory_tree(path, mode);
}

void make_entry_directory(mode_t mode) {
  // A directory that exists now is what the entry asks for, whatever the
  // way there reported.
  struct stat st;
  if (make_directories(tar.name, mode) >= 0 || (stat(tar.name, &st) == 0 && S_ISDIR(st.st_mode))) return;
  std::printf("Error creating dir %s\n", tar.name);
  tar.failed = true;
}

// The modes held back by make_directories, as directory creation would
// have given them (under the umask); the deepest directory first.
void apply_deferred_modes() {
  const mode_t mask = umask(0);
  umask(mask);
  while (deferred_count > 0) {
    const deferred_directory& d = deferred_directories[--deferred_count];
    chmod(d.name, d.mode & ~mask);
  }
  free_deferred();
}

// Failures here show up as the failure to create the file itself.
void make_parent_directories(mode_t mode) {
  char* delimiter = vn::filename_last_component(tar.name);
  if (delimiter == nullptr) return;
  const char kept = *delimiter;
  *delimiter = '\0';
  make_directories(tar.name, mode | EXECUTE_BITS);
  *delimiter = kept;
}

// Opens the entry's file for writing. A new file whose mode the umask
// leaves whole is created with it (no chmod afterwards); an existing one
// is truncated, as fopen does.
FILE* open_for_writing(mode_t mode, bool& created_with_mode) {
  created_with_mode = false;
  if (mode <= PERMISSION_BITS && (mode & creation_mask) == 0) {
    const int fd = open(tar.name, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      FILE* file = fdopen(fd, "w");
      if (file == nullptr) close(fd);
      created_with_mode = file != nullptr;
      return file;
    }
    if (errno != EEXIST) return nullptr;
  }
  return std::fopen(tar.name, "w");
}

// The directories on the way are made only when the file cannot be
// created without them: in a tree of many files a parent is made once,
// not looked at again for every file in it. A failed open leaves nothing
// behind, so the second one finds what the first would have found had the
// directories been made before it.
void open_entry_file(mode_t mode) {
  bool created_with_mode = false;
  tar.file = open_for_writing(mode, created_with_mode);
  if (tar.file == nullptr) {
    make_parent_directories(mode);
    tar.file = open_for_writing(mode, created_with_mode);
  }
  if (tar.file == nullptr) {
    std::printf("Cannot create file %s\n", tar.name);
    tar.failed = true;
    return;
  }
  // Data arrives in pieces of a few KiB; a larger buffer than the stream's
  // default makes a write call per 64 KiB instead of one per piece.
  std::setvbuf(tar.file, file_buffer, _IOFBF, sizeof file_buffer);
  // Permissions are set before any data is written.
  if (!created_with_mode && fchmod(fileno(tar.file), mode) != 0) std::printf("Failed to chmod(%s, %o)\n", tar.name, mode);
}

// A complete header block has been collected: start its entry.
void begin_entry() {
  tar.header_fill = 0;
  std::memcpy(tar.name, tar.header + TAR_NAME_OFFSET, TAR_NAME_WIDTH);
  tar.name[TAR_NAME_WIDTH] = '\0';
  const uint64_t size = tar_parse_size(tar.header + TAR_SIZE_OFFSET, TAR_SIZE_WIDTH);
  const auto mode = static_cast<mode_t>(static_cast<uint32_t>(tar_parse_octal(tar.header + TAR_MODE_OFFSET, TAR_MODE_WIDTH)));
  std::printf("Extracting %s .. %" PRIu64 " bytes\n", tar.name, size);

  if (tar.header[TAR_TYPEFLAG_OFFSET] == TYPE_DIRECTORY) {
    make_entry_directory(mode);
    tar.state = tar_state::collecting_header;
    return;
  }
  if (tar.name[0] == '\0') {
    tar.state = tar_state::archive_ended;
    return;
  }
  open_entry_file(mode);
  tar.remaining_data = size;
  const uint64_t partial = size % TAR_BLOCK_SIZE;
  tar.remaining_padding = partial == 0 ? 0 : TAR_BLOCK_SIZE - partial;
  tar.state = tar_state::copying_data;
  if (size == 0) {
    close_entry_file();
    tar.state = tar_state::collecting_header;
  }
}

size_t smaller(uint64_t a, size_t b) { return a < b ? static_cast<size_t>(a) : b; }

// Each step takes the bytes of data that belong to the current state and
// returns how many it took.
size_t collect_header(const char* data, size_t n) {
  n = smaller(TAR_BLOCK_SIZE - tar.header_fill, n);
  std::memcpy(tar.header + tar.header_fill, data, n);
  tar.header_fill += n;
  if (tar.header_fill == TAR_BLOCK_SIZE) begin_entry();
  return n;
}

size_t copy_data(const char* data, size_t n) {
  n = smaller(tar.remaining_data, n);
  write_entry_data(data, n);
  tar.remaining_data -= n;
  if (tar.remaining_data == 0) {
    close_entry_file();
    tar.state = tar.remaining_padding > 0 ? tar_state::skipping_padding : tar_state::collecting_header;
  }
  return n;
}

size_t skip_padding(size_t n) {
  n = smaller(tar.remaining_padding, n);
  tar.remaining_padding -= n;
  if (tar.remaining_padding == 0) tar.state = tar_state::collecting_header;
  return n;
}

}  // namespace

uint64_t tar_parse_octal(const unsigned char* field, size_t width) {
  size_t i = 0;
  while (i < width && vn::ctype_is(field[i], vn::CTYPE_SPACE)) ++i;
  uint64_t value = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) value = value * 8 + (field[i] - '0');
  return value;
}

uint64_t tar_parse_size(const unsigned char* field, size_t width) {
  if (width == 0 || (field[0] & 0x80) == 0) return tar_parse_octal(field, width);
  if (field[0] & 0x40) return 0;  // negative
  uint64_t value = field[0] & 0x3f;
  for (size_t i = 1; i < width; ++i) {
    if (value > (UINT64_MAX >> 8)) return UINT64_MAX;
    value = (value << 8) | field[i];
  }
  return value;
}

void tar_writer_reset() {
  if (tar.file != nullptr) std::fclose(tar.file);
  tar.file = nullptr;
  tar.state = tar_state::collecting_header;
  tar.header_fill = 0;
  tar.remaining_data = 0;
  tar.remaining_padding = 0;
  tar.failed = false;
  free_deferred();
  creation_mask = umask(0);
  umask(creation_mask);
}

int tar_writer(bz_context*, const char* data, int count) {
  size_t left = count > 0 ? static_cast<size_t>(count) : 0;
  while (left > 0) {
    size_t taken = 0;
    switch (tar.state) {
      case tar_state::collecting_header: taken = collect_header(data, left); break;
      case tar_state::copying_data: taken = copy_data(data, left); break;
      case tar_state::skipping_padding: taken = skip_padding(left); break;
      case tar_state::archive_ended: return 0;  // the rest of the record is dropped
    }
    data += taken;
    left -= taken;
  }
  return 0;
}

int tar_writer_finish() {
  if (tar.state == tar_state::copying_data) {
    std::printf("Archive ends inside file %s\n", tar.name);
    close_entry_file();
    tar.failed = true;
  } else if (tar.state == tar_state::collecting_header && tar.header_fill > 0) {
    std::printf("Archive ends inside an entry header\n");
    tar.failed = true;
  }
  tar.state = tar_state::archive_ended;
  apply_deferred_modes();
  return tar.failed ? 1 : 0;
}
