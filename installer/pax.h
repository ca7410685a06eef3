// pax.h - internal interface of the reader of type-20 archives, which are
// unpacked with full POSIX tar (pax) meaning and kept inside the install
// directory: header decoding (pax_header.cpp), the contained directory walk
// (pax_paths.cpp), the creation of each kind of entry (pax_entry.cpp) and
// the writer callback that drives them (pax_writer.cpp).
#ifndef VNINSTALL_PAX_H
#define VNINSTALL_PAX_H

#include <limits.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "installer.h"

// The longest name accepted, its terminating NUL included; longer names
// are refused. The same bound holds for link targets and GNU long names.
#ifdef PATH_MAX
constexpr size_t PAX_NAME_LIMIT = PATH_MAX;
#else
constexpr size_t PAX_NAME_LIMIT = 4096;
#endif
// Data of one extended header held for decoding; a larger header is
// skipped, and the entry it belongs to with it.
constexpr size_t PAX_HEADER_LIMIT = 1024 * 1024;
// Directory levels below the install directory; deeper entries are
// refused. Each level keeps one open descriptor while the archive is in it.
constexpr size_t PAX_DEPTH_LIMIT = 128;
// Directories without owner permissions held open until the archive ends,
// to get their mode then (the type-2 writer's rule for read-only ones).
constexpr size_t PAX_LOCKED_DIRECTORY_LIMIT = 128;

constexpr size_t PAX_BLOCK_SIZE = 512;

struct pax_time {
  int64_t seconds;
  long nanoseconds;
};

// What an extended header (or a GNU long-name entry) says about the
// entries it applies to: the next one, or all later ones for a global one.
struct pax_values {
  bool has_path, has_linkpath, has_size, has_mtime;
  bool name_too_long;  // a path or link target past PAX_NAME_LIMIT
  bool sparse;         // a GNU sparse file, which is not unpacked
  uint64_t size;
  pax_time mtime;
  char path[PAX_NAME_LIMIT];
  char linkpath[PAX_NAME_LIMIT];
};

// --- header blocks (pax_header.cpp) ---------------------------------------

bool pax_block_is_zero(const unsigned char* block);
// The stored checksum matches the block's byte sum, taken unsigned or, as
// some old writers did, signed.
bool pax_checksum_ok(const unsigned char* block);
// The name, joined to the ustar prefix in POSIX ustar headers; out has
// room for PAX_NAME_LIMIT bytes. Returns the length.
size_t pax_header_name(const unsigned char* block, char* out);
size_t pax_header_linkname(const unsigned char* block, char* out);
// The modification time: octal, or base-256 (negative values included).
pax_time pax_header_mtime(const unsigned char* block);
// Decodes the records "LENGTH KEY=VALUE\n" of an extended header into
// values; -1 when a record is malformed.
int pax_parse_extended(const char* data, size_t size, pax_values* values);

// --- the contained directory walk (pax_paths.cpp) -------------------------

// Bits of pax_normalize's result flags.
constexpr unsigned PAX_LEADING_SLASH = 1;  // leading "/" removed
constexpr unsigned PAX_DOT_DOT = 2;        // a ".." component
constexpr unsigned PAX_TOO_DEEP = 4;       // more than PAX_DEPTH_LIMIT levels

// Writes name to out with the components joined by single "/", without
// leading "/", "." components and empty ones; returns the length.
size_t pax_normalize(const char* name, char* out, unsigned* flags);

// Opens the current directory as the root of the walk; false on failure.
bool pax_paths_open();
// Leaves every directory: the held-back modes and times are applied, the
// descriptors closed.
void pax_paths_close();
// The descriptor of the directory path[0..parent_length), a normalized
// name's parent, walked without following any symbolic link and created
// where missing; the walk is kept for the next entries. -1 when it fails,
// the reason printed for the entry `shown`.
int pax_enter_parent(const char* path, size_t parent_length, const char* shown);
// The same without creating anything and without changing the kept walk,
// for a hard link's target. *owned is set when the caller must close the
// descriptor.
int pax_find_parent(const char* path, size_t parent_length, const char* shown, bool* owned);
// The directory `name` in the directory entered last becomes the deepest
// level of the walk; when the archive leaves it, it gets `mode` when
// set_mode is true, and the time. An empty name stands for the install
// directory itself. False when it cannot be opened (errno set).
bool pax_hold_directory(const char* name, bool set_mode, mode_t mode, pax_time mtime);

// --- entries (pax_entry.cpp) ------------------------------------------------

// The process's umask, read when an archive starts. Files get the archive's
// mode exactly and directories the archive's mode under the umask, as in
// type 2.
extern mode_t pax_umask;
// Creates the regular file name in dirfd, replacing what stands there;
// returns its descriptor or -1 (errno set).
int pax_create_file(int dirfd, const char* name, mode_t mode, const char* shown);
// Makes the directory name in dirfd (an existing one is kept) and holds it
// as the deepest level of the walk; false on failure (errno set).
bool pax_make_directory(int dirfd, const char* name, mode_t mode, pax_time mtime);
int pax_make_symlink(int dirfd, const char* name, const char* target, pax_time mtime);
int pax_make_hard_link(int target_dirfd, const char* target_name, int dirfd, const char* name);
// Sets the modification time of an open file or directory.
int pax_set_file_time(int fd, pax_time mtime);

// --- the writer (pax_writer.cpp) --------------------------------------------

// A bzunzip writer that unpacks a type-20 archive into the current
// directory; reset before and finish after each record, as the tar writer.
int pax_writer(bz_context* ctx, const char* data, int count);
void pax_writer_reset();
// Returns nonzero when any entry could not be unpacked, was refused or the
// archive was damaged.
int pax_writer_finish();

#endif  // VNINSTALL_PAX_H
