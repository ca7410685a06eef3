// The type-20 writer: a bzunzip writer that unpacks a POSIX tar (pax)
// archive into the current directory as its bytes arrive, with the meaning
// tar gives it (long names, links, times) and nothing created, changed or
// removed outside that directory. Header blocks, data and padding may be
// split across calls anywhere. File data is written straight from the
// caller's buffer; memory stays bounded whatever the archive holds.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "pax.h"

namespace {

constexpr size_t MODE_FIELD_OFFSET = 100, MODE_FIELD_WIDTH = 8;
constexpr size_t SIZE_FIELD_OFFSET = 124, SIZE_FIELD_WIDTH = 12;
constexpr size_t TYPEFLAG_OFFSET = 156;

enum class pax_state { header, data, padding, ended };
// Where the data of the current entry goes.
enum class data_sink { discard, file, extended, global, long_name, long_link };

struct pax_reader {
  pax_state state = pax_state::ended;
  unsigned char header[PAX_BLOCK_SIZE];
  size_t header_fill = 0;
  uint64_t remaining = 0;
  uint64_t padding = 0;
  data_sink sink = data_sink::discard;
  int file_fd = -1;
  pax_time file_mtime = {0, 0};
  const char* shown = "";  // the entry's name as printed
  char* meta = nullptr;    // data of an extended header or a long name
  size_t meta_fill = 0, meta_capacity = 0;
  size_t meta_room = 0;    // bytes of the current one kept
  bool meta_overflow = false;
  bool skip_next = false;  // the entry's extended header was too large
  bool slash_reported = false;
  bool failed = false;
};

pax_reader rd;
pax_values local_values, global_values;
char header_name[PAX_NAME_LIMIT], header_link[PAX_NAME_LIMIT];
char entry_name[PAX_NAME_LIMIT], link_name[PAX_NAME_LIMIT];

void fail() { rd.failed = true; }

void damaged(const char* what) {
  std::printf("Damaged archive: %s\n", what);
  fail();
  rd.state = pax_state::ended;
}

void note_leading_slash(unsigned flags) {
  if ((flags & PAX_LEADING_SLASH) == 0 || rd.slash_reported) return;
  std::printf("Removing leading '/' from entry names\n");
  rd.slash_reported = true;
}

// A name the walk may use; false, with the reason printed, when it is
// refused. `target` is a hard link's target, null for the entry's name.
bool name_allowed(unsigned flags, const char* target) {
  note_leading_slash(flags);
  const char* what = target == nullptr ? "a name" : "a link target";
  if ((flags & PAX_DOT_DOT) != 0) {
    std::printf("Refusing %s%s%s: %s with a \"..\" component\n", rd.shown, target ? " link to " : "", target ? target : "", what);
  } else if ((flags & PAX_TOO_DEEP) != 0) {
    std::printf("Refusing %s%s%s: %s of more than %zu levels\n", rd.shown, target ? " link to " : "", target ? target : "", what, PAX_DEPTH_LIMIT);
  } else {
    return true;
  }
  fail();
  return false;
}

// Length of the parent part of a normalized name: up to its last "/".
size_t parent_length(const char* path, size_t length) {
  while (length > 0 && path[length - 1] != '/') --length;
  return length == 0 ? 0 : length - 1;
}

const char* leaf_of(const char* path, size_t parent) { return parent == 0 ? path : path + parent + 1; }

void close_file() {
  if (rd.file_fd < 0) return;
  if (pax_set_file_time(rd.file_fd, rd.file_mtime) != 0 || close(rd.file_fd) != 0) {
    std::printf("Error writing file %s: %s\n", rd.shown, std::strerror(errno));
    fail();
  }
  rd.file_fd = -1;
}

void write_file(const char* data, size_t n) {
  if (rd.file_fd < 0 || write_fully(rd.file_fd, data, n) == n) return;
  // The rest of the entry's data is dropped.
  std::printf("Error writing file %s: %s\n", rd.shown, errno != 0 ? std::strerror(errno) : "nothing written");
  fail();
  close(rd.file_fd);
  rd.file_fd = -1;
}

void unpack_file(size_t length, mode_t mode, uint64_t size) {
  const size_t parent = parent_length(entry_name, length);
  const int dirfd = length == 0 ? -1 : pax_enter_parent(entry_name, parent, rd.shown);
  if (length == 0) std::printf("Cannot create file %s: it names the install directory\n", rd.shown);
  if (dirfd < 0) return fail();
  rd.file_fd = pax_create_file(dirfd, leaf_of(entry_name, parent), mode, rd.shown);
  if (rd.file_fd < 0) {
    std::printf("Cannot create file %s: %s\n", rd.shown, std::strerror(errno));
    return fail();
  }
  rd.sink = data_sink::file;
  if (size == 0) close_file();
}

void unpack_directory(size_t length, mode_t mode, pax_time mtime) {
  const size_t parent = parent_length(entry_name, length);
  const int dirfd = pax_enter_parent(entry_name, parent, rd.shown);
  if (dirfd < 0) return fail();
  // The install directory itself ("./") gets the entry's time but keeps
  // its mode: the user chose it, and it may be a home directory.
  const bool made = length == 0 ? pax_hold_directory("", false, 0, mtime)
                                : pax_make_directory(dirfd, leaf_of(entry_name, parent), mode, mtime);
  if (made) return;
  std::printf("Error creating dir %s: %s\n", rd.shown, std::strerror(errno));
  fail();
}

void unpack_symlink(size_t length, const char* target, pax_time mtime) {
  const size_t parent = parent_length(entry_name, length);
  const int dirfd = length == 0 ? -1 : pax_enter_parent(entry_name, parent, rd.shown);
  if (length == 0) std::printf("Cannot create link %s: it names the install directory\n", rd.shown);
  if (dirfd < 0) return fail();
  if (pax_make_symlink(dirfd, leaf_of(entry_name, parent), target, mtime) == 0) return;
  std::printf("Cannot create link %s: %s\n", rd.shown, std::strerror(errno));
  fail();
}

// The target is in link_name, normalized, and allowed.
void unpack_hard_link(size_t length, size_t target_length) {
  // A link to itself: the file stands already.
  if (target_length == length && std::memcmp(link_name, entry_name, length) == 0 && length > 0) return;
  const size_t parent = parent_length(entry_name, length);
  const int dirfd = length == 0 ? -1 : pax_enter_parent(entry_name, parent, rd.shown);
  if (length == 0) std::printf("Cannot create link %s: it names the install directory\n", rd.shown);
  if (dirfd < 0) return fail();
  const size_t target_parent = parent_length(link_name, target_length);
  bool owned = false;
  const int target_dirfd = pax_find_parent(link_name, target_parent, rd.shown, &owned);
  if (target_dirfd < 0) return fail();
  const int result = pax_make_hard_link(target_dirfd, leaf_of(link_name, target_parent), dirfd, leaf_of(entry_name, parent));
  const int error = errno;
  if (owned) close(target_dirfd);
  if (result == 0) return;
  std::printf("Cannot create link %s: %s\n", rd.shown, std::strerror(error));
  fail();
}

const char* unsupported_kind(char type) {
  switch (type) {
    case '3': return "character devices are not unpacked";
    case '4': return "block devices are not unpacked";
    case '6': return "FIFOs are not unpacked";
    default: return "entries of this type are not unpacked";
  }
}

// The entry of a header whose extended values are in place.
void unpack_entry(char type, const char* name, const char* target, uint64_t size, pax_time mtime, bool sparse) {
  unsigned flags = 0;
  const size_t length = pax_normalize(name, entry_name, &flags);
  rd.shown = name + std::strspn(name, "/");
  if (!name_allowed(flags, nullptr)) return;
  const auto mode = static_cast<mode_t>(tar_parse_octal(rd.header + MODE_FIELD_OFFSET, MODE_FIELD_WIDTH));
  // Old archives mark directories by a trailing "/" on a regular entry.
  const size_t raw_length = std::strlen(name);
  if ((type == '0' || type == '\0') && raw_length > 0 && name[raw_length - 1] == '/') type = '5';
  if (sparse) type = 'S';
  switch (type) {
    case '0': case '\0': case '7':
      std::printf("Extracting %s .. %" PRIu64 " bytes\n", rd.shown, size);
      return unpack_file(length, mode, size);
    case '5':
      std::printf("Extracting %s .. %" PRIu64 " bytes\n", rd.shown, size);
      return unpack_directory(length, mode, mtime);
    case '2':
      std::printf("Extracting %s -> %s .. %" PRIu64 " bytes\n", rd.shown, target, size);
      return unpack_symlink(length, target, mtime);
    case '1': {
      const char* shown_target = target + std::strspn(target, "/");
      const size_t target_length = pax_normalize(target, link_name, &flags);
      if (!name_allowed(flags, shown_target)) return;
      std::printf("Extracting %s link to %s .. %" PRIu64 " bytes\n", rd.shown, shown_target, size);
      return unpack_hard_link(length, target_length);
    }
    default:
      if (type == 'S') std::printf("Skipping %s: sparse files are not unpacked\n", rd.shown);
      else std::printf("Skipping %s: %s\n", rd.shown, unsupported_kind(type));
  }
}

void start_data(uint64_t size, data_sink sink) {
  rd.remaining = size;
  const uint64_t partial = size % PAX_BLOCK_SIZE;
  rd.padding = partial == 0 ? 0 : PAX_BLOCK_SIZE - partial;
  rd.sink = sink;
  rd.state = pax_state::data;
}

void start_meta(data_sink sink, uint64_t size) {
  const size_t limit = sink == data_sink::extended || sink == data_sink::global ? PAX_HEADER_LIMIT : PAX_NAME_LIMIT;
  const size_t wanted = size < limit ? static_cast<size_t>(size) : limit;
  if (wanted > rd.meta_capacity) {
    char* grown = static_cast<char*>(std::realloc(rd.meta, wanted));
    if (grown != nullptr) rd.meta = grown, rd.meta_capacity = wanted;
  }
  rd.meta_fill = 0;
  rd.meta_room = wanted < rd.meta_capacity ? wanted : rd.meta_capacity;
  rd.meta_overflow = size > rd.meta_room;
  start_data(size, sink);
}

// A GNU long name: its data up to the first NUL.
void take_long_name(char* dest, bool* has) {
  if (rd.meta_overflow) {
    local_values.name_too_long = true;
    return;
  }
  const void* nul = rd.meta_fill == 0 ? nullptr : std::memchr(rd.meta, '\0', rd.meta_fill);
  const size_t length = nul == nullptr ? rd.meta_fill : static_cast<size_t>(static_cast<const char*>(nul) - rd.meta);
  if (length >= PAX_NAME_LIMIT) {
    local_values.name_too_long = true;
    return;
  }
  if (length > 0) std::memcpy(dest, rd.meta, length);
  dest[length] = '\0';
  *has = length > 0;
}

void finish_meta() {
  switch (rd.sink) {
    case data_sink::extended:
    case data_sink::global: {
      pax_values& values = rd.sink == data_sink::global ? global_values : local_values;
      if (rd.meta_overflow) {
        if (rd.sink == data_sink::extended) rd.skip_next = true;
        else std::printf("Skipping a global extended header of more than %zu bytes\n", PAX_HEADER_LIMIT), fail();
      } else if (pax_parse_extended(rd.meta, rd.meta_fill, &values) != 0) {
        damaged("an extended header is malformed");
      }
      break;
    }
    case data_sink::long_name: take_long_name(local_values.path, &local_values.has_path); break;
    case data_sink::long_link: take_long_name(local_values.linkpath, &local_values.has_linkpath); break;
    default: break;
  }
}

// A complete header block: an entry, an extension of the next ones, or the
// end of the archive.
void begin_entry() {
  rd.header_fill = 0;
  if (pax_block_is_zero(rd.header)) {
    std::printf("Extracting  .. 0 bytes\n");
    rd.state = pax_state::ended;
    return;
  }
  if (!pax_checksum_ok(rd.header)) return damaged("a header block fails its checksum");
  const char type = static_cast<char>(rd.header[TYPEFLAG_OFFSET]);
  uint64_t size = tar_parse_size(rd.header + SIZE_FIELD_OFFSET, SIZE_FIELD_WIDTH);
  switch (type) {
    case 'x': return start_meta(data_sink::extended, size);
    case 'g': return start_meta(data_sink::global, size);
    case 'L': return start_meta(data_sink::long_name, size);
    case 'K': return start_meta(data_sink::long_link, size);
    default: break;
  }
  pax_values& l = local_values;
  const pax_values& g = global_values;
  if (l.has_size || g.has_size) size = l.has_size ? l.size : g.size;
  start_data(size, data_sink::discard);
  const char* name = l.has_path ? l.path : g.has_path ? g.path : (pax_header_name(rd.header, header_name), header_name);
  const char* target = l.has_linkpath ? l.linkpath : g.has_linkpath ? g.linkpath : (pax_header_linkname(rd.header, header_link), header_link);
  const pax_time mtime = l.has_mtime ? l.mtime : g.has_mtime ? g.mtime : pax_header_mtime(rd.header);
  const bool skip = rd.skip_next, too_long = l.name_too_long, sparse = l.sparse || g.sparse;
  l.has_path = l.has_linkpath = l.has_size = l.has_mtime = l.name_too_long = l.sparse = false;
  rd.skip_next = false;
  rd.file_mtime = mtime;
  if (skip) {
    std::printf("Skipping %s: its extended header is larger than %zu bytes\n", name, PAX_HEADER_LIMIT);
    return fail();
  }
  if (too_long) {
    std::printf("Refusing an entry whose name or link target is longer than %zu bytes\n", PAX_NAME_LIMIT - 1);
    return fail();
  }
  unpack_entry(type, name, target, size, mtime, sparse);
}

size_t smaller(uint64_t a, size_t b) { return a < b ? static_cast<size_t>(a) : b; }

size_t collect_header(const char* data, size_t n) {
  n = smaller(PAX_BLOCK_SIZE - rd.header_fill, n);
  std::memcpy(rd.header + rd.header_fill, data, n);
  rd.header_fill += n;
  if (rd.header_fill == PAX_BLOCK_SIZE) begin_entry();
  return n;
}

void collect_meta(const char* data, size_t n) {
  const size_t room = rd.meta_room - rd.meta_fill;
  const size_t taken = n < room ? n : room;
  if (taken > 0) std::memcpy(rd.meta + rd.meta_fill, data, taken);
  rd.meta_fill += taken;
}

size_t copy_data(const char* data, size_t n) {
  n = smaller(rd.remaining, n);
  if (rd.sink == data_sink::file) write_file(data, n);
  else if (rd.sink != data_sink::discard) collect_meta(data, n);
  rd.remaining -= n;
  if (rd.remaining > 0) return n;
  rd.state = rd.padding > 0 ? pax_state::padding : pax_state::header;
  if (rd.sink == data_sink::file) close_file();
  else finish_meta();
  rd.sink = data_sink::discard;
  return n;
}

size_t skip_padding(size_t n) {
  n = smaller(rd.padding, n);
  rd.padding -= n;
  if (rd.padding == 0) rd.state = pax_state::header;
  return n;
}

}  // namespace

void pax_writer_reset() {
  if (rd.file_fd >= 0) close(rd.file_fd);
  rd.file_fd = -1;
  rd.header_fill = 0;
  rd.remaining = rd.padding = 0;
  rd.sink = data_sink::discard;
  rd.skip_next = rd.slash_reported = rd.failed = false;
  rd.shown = "";
  local_values.has_path = local_values.has_linkpath = local_values.has_size = local_values.has_mtime = false;
  local_values.name_too_long = local_values.sparse = false;
  global_values = local_values;
  pax_umask = umask(0);
  umask(pax_umask);
  rd.state = pax_state::header;
  if (!pax_paths_open()) {
    std::printf("Cannot open the install directory: %s\n", std::strerror(errno));
    fail();
    rd.state = pax_state::ended;
  }
}

int pax_writer(bz_context*, const char* data, int count) {
  size_t left = count > 0 ? static_cast<size_t>(count) : 0;
  while (left > 0) {
    size_t taken = 0;
    switch (rd.state) {
      case pax_state::header: taken = collect_header(data, left); break;
      case pax_state::data: taken = copy_data(data, left); break;
      case pax_state::padding: taken = skip_padding(left); break;
      case pax_state::ended: return 0;  // the rest of the record is dropped
    }
    data += taken;
    left -= taken;
  }
  return 0;
}

int pax_writer_finish() {
  if (rd.state == pax_state::data && (rd.sink == data_sink::file || rd.sink == data_sink::discard)) {
    std::printf("Archive ends inside file %s\n", rd.shown);
    fail();
  } else if (rd.state == pax_state::data || (rd.state == pax_state::header && rd.header_fill > 0)) {
    std::printf("Archive ends inside an entry header\n");
    fail();
  }
  if (rd.file_fd >= 0) close_file();
  rd.state = pax_state::ended;
  pax_paths_close();
  std::free(rd.meta);
  rd.meta = nullptr;
  rd.meta_capacity = rd.meta_fill = rd.meta_room = 0;
  return rd.failed ? 1 : 0;
}
