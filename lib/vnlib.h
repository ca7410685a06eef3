// vnlib.h - the whole interface of the vn utility library.
//
// Everything lives in namespace vn, so the library's own dirname, basename,
// qsort and crc32 never collide with the C library or other libraries.
//
// Conventions:
//  - A function documented as returning a "new" string returns memory of the
//    checked allocation family; the caller releases it with chk_free.
//  - Functions that return a pointer into their argument come in a const and
//    a non-const flavour, like strchr in C++.
//  - Failures are reported by results (null, 0 or -1); the library prints
//    almost nothing.
#ifndef VNLIB_H
#define VNLIB_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace vn {

// struct stat appears below and its layout follows the width of off_t, so
// the library and every program that uses it must agree on that width: all
// are built with 64-bit file offsets (-D_FILE_OFFSET_BITS=64 where off_t is
// narrower by default).
static_assert(sizeof(off_t) == 8, "vnlib needs 64-bit file offsets: build with -D_FILE_OFFSET_BITS=64");

// ---------------------------------------------------------------------------
// Checked allocation (lib/chk_alloc.cpp)
// ---------------------------------------------------------------------------

// Allocate; on failure print one line on standard output and return null.
void* chk_alloc(size_t size);
void* chk_zalloc(size_t size);
// On failure the old block stays valid.
void* chk_realloc(void* block, size_t size);
// Allocate without a message; caller_name is not used.
void* check_alloc(size_t size, const char* caller_name);
// Zero-filled allocation without a message.
void* chk_calloc(size_t count, size_t size);
char* chk_strdup(const char* text);
// Join all given strings (the list ends with nullptr) into one new string of
// exactly their summed length plus one.
char* chk_makestr(const char* first, ...) __attribute__((sentinel));
// A new block of exactly n bytes holding the first n bytes of source; no
// terminator is added.
char* chk_strndup(const char* source, size_t n);
void chk_free(void* block);
void chk_free_safe(void* block);
// Release a non-null block and set the pointer to null.
void chk_free_ptr(void** pointer);
template <typename T>
inline void chk_free_ptr(T** pointer) {
  void* p = *pointer;
  chk_free_ptr(&p);
  *pointer = static_cast<T*>(p);
}
void chk_init();
void chk_exit();
void chk_error();
void chk_dump();

// ---------------------------------------------------------------------------
// CRC-32 (lib/crc32.cpp): polynomial 0x04C11DB7, preset 0xFFFFFFFF, bits
// most significant first, final complement.
// ---------------------------------------------------------------------------

extern uint32_t crc32_table[256];

void init_crc32();
uint32_t crc32(const void* data, int32_t length);
uint32_t crc32_monocase(const unsigned char* map, const void* data, int32_t length);
// Set the running register (uncomplemented) and return it.
uint32_t crc32_set(uint32_t value);
// Null data resets the running register; otherwise fold the bytes in.
// Returns the complemented register: the CRC of everything since the reset.
uint32_t crc32_accum(const void* data, int32_t length);

// Parts of one range folded apart (lib/crc32_join.cpp), say on several
// threads: crc32_fold_from gives the register after folding the bytes into
// `reg`, touching no shared state; crc32_zeros the register after folding
// `length` zero bytes into it. A range A then B joins as
//   crc32_zeros(register after A, length of B) ^ crc32_fold_from(0, B).
uint32_t crc32_fold_from(uint32_t reg, const void* data, size_t length);
uint32_t crc32_zeros(uint32_t reg, uint64_t length);

// ---------------------------------------------------------------------------
// Big-endian encoders and decoders (lib/byteorder.cpp). None checks its
// buffer; the caller provides room for the stated number of bytes.
// ---------------------------------------------------------------------------

void LPUT8(unsigned char* buf, uint32_t value);
void LPUT16(unsigned char* buf, uint32_t value);
void LPUT24(unsigned char* buf, uint32_t value);
void LPUT32(unsigned char* buf, uint32_t value);
// The low 32-bit half first, then the high half, each big-endian.
void LPUT64(unsigned char* buf, uint64_t value);
uint32_t LGET16(const unsigned char* buf);
uint32_t LGET24(const unsigned char* buf);
uint32_t LGET32(const unsigned char* buf);
uint64_t LGET64(const unsigned char* buf);
uint32_t LGET_OBJECT(const unsigned char* buf);
void LPUT_PTR(unsigned char* buf, uint32_t value);
uint32_t LGET_PTR(const unsigned char* buf);
// The double's bytes as they lie in memory, without conversion.
void LPUT_FLOAT(unsigned char* buf, double value);
void LGET_FLOAT(const unsigned char* buf, double* value);
// Tag 1 + LPUT32 for 0 <= value <= 2^31-1, else tag 16 + LPUT64; returns the
// number of bytes written (5 or 9).
int LPUT_INTEGER(unsigned char* buf, int64_t value);
void LPUT_ID(unsigned char* buf, uint32_t id);
uint32_t LGET_ID(const unsigned char* buf);
void LPUT_LIST(unsigned char* buf, uint32_t count);
uint32_t LGET_LIST(const unsigned char* buf);

// Host order <-> big-endian order.
int WGET16(int value);
uint32_t WGET32(uint32_t value);
void swap_words(uint32_t* words, int count);

// ---------------------------------------------------------------------------
// Dynamic strings (string/dstr.cpp): a growable byte buffer that grows by
// fixed increments. The buffer is not kept zero-terminated; a user that wants
// a C string appends the zero byte itself. A user may take dl_str over and
// release it later with chk_free.
// ---------------------------------------------------------------------------

struct dstr {
  char* dl_str;     // the buffer; null before set-up and after dstr_free
  int32_t dl_size;  // bytes allocated
  int32_t dl_len;   // bytes in use
};

char* dstr_init(dstr* dstr, int32_t size);
char* dstr_zinit(dstr* dstr, int32_t size);
// Adopt a buffer from the checked allocation family; all of it is contents.
void dstr_setup(dstr* dstr, void* buffer, int32_t size);
void dstr_clear(dstr* dstr);
void dstr_free(dstr* dstr);
void dstr_set_space(dstr* dstr, int32_t size);
void dstr_resize(dstr* dstr, int32_t size);
void dstr_size(dstr* dstr, int32_t size);
void dstr_set_size(dstr* dstr, int32_t size);
void dstr_reserve(dstr* dstr, int32_t n);
char* dstr_reserve_zero(dstr* dstr, int32_t n);
void dstr_remove(dstr* dstr, int32_t n);

int dstr_add_char(dstr* dstr, int ch);
void dstr_add_nchar(dstr* dstr, int ch, int32_t n);
char* dstr_add_mem(dstr* dstr, const void* source, int32_t n);
char* dstr_add_string(dstr* dstr, const void* source, int32_t n);
void dstr_terminate(dstr* dstr);
void dstr_add_null(dstr* dstr);
void dstr_add_id(dstr* dstr, uint32_t id);
void dstr_add_int16(dstr* dstr, int32_t value);
void dstr_add_int24(dstr* dstr, int32_t value);
void dstr_add_int32(dstr* dstr, int32_t value);
void dstr_add_int64(dstr* dstr, int64_t value);
int dstr_add_int(dstr* dstr, int32_t value);
int dstr_add_integer(dstr* dstr, int64_t value);
void dstr_add_float(dstr* dstr, double value);
void dstr_add_ptr(dstr* dstr, int tag, uint32_t value);
// The bytes in escaped form (\n, \", \000, \x%02x ...), without quotes.
void dstr_add_cstring(dstr* dstr, const void* source, int32_t n);

// ---------------------------------------------------------------------------
// Sorting and string utilities (string/)
// ---------------------------------------------------------------------------

// Stable merge sort above 5 elements, selection sort at or below.
void qsort(void* base, size_t count, size_t size, int (*cmp)(const void*, const void*));

// Character classes, indexed by the byte taken as unsigned; bytes 0x80 to
// 0xFF belong to no class.
constexpr uint16_t CTYPE_ALPHA = 0x0001;
constexpr uint16_t CTYPE_ASCII = 0x0002;
constexpr uint16_t CTYPE_DIGIT = 0x0004;
constexpr uint16_t CTYPE_UPPER = 0x0008;
constexpr uint16_t CTYPE_LOWER = 0x0010;
constexpr uint16_t CTYPE_XDIGIT = 0x0020;
constexpr uint16_t CTYPE_BLANK = 0x0040;
constexpr uint16_t CTYPE_GRAPH = 0x0080;
constexpr uint16_t CTYPE_PRINT = 0x0100;
constexpr uint16_t CTYPE_SPACE = 0x0200;
constexpr uint16_t CTYPE_PUNCT = 0x0400;
extern const uint16_t ctype_array[256];
// True when the byte (taken as unsigned) has any of the given class bits.
inline bool ctype_is(int ch, uint16_t classes) {
  return (ctype_array[static_cast<unsigned char>(ch)] & classes) != 0;
}

int strdictcmp(const char* a, const char* b);
int strndictcmp(const char* a, const char* b, size_t n);
void lower_case(char* text);
char* overlap_strcpy(char* dst, const char* src);
// New string: less one leading and then one trailing double quote.
char* string_unquote(const char* text);

// One word of string_qword_split; kind is 4 for a word that began with a
// double quote, else 0. The array ends with a record whose word is null.
struct string_qword {
  char* word;
  int32_t kind;
};
constexpr int QWORD_SPACES = 0x1;     // a plain word may contain spaces
constexpr int QWORD_SEMICOLON = 0x2;  // ";" separates words
string_qword* string_qword_split(const char* text, int* count_out, int flags);
// Null-terminated vector; element 0 owns the private copy of the text.
char** string_wordize(const char* text);

// Tracing hook in the manner of printf; writes nothing in this build.
void trace_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// File-name primitives (filename/)
// ---------------------------------------------------------------------------

// The text inserted between a directory and a name when joining ("/").
extern const char* wild_filename_delimiter;

int filename_is_delim(int ch);
int is_absolute(const char* name);
int is_unc_filename(const char* name);
const char* filename_delimiter();
const char* filename_path_delimiter();
int filename_get_drive(const char* name);
const char* filename_skip_drive(const char* name);
char* filename_skip_drive(char* name);
const char* filename_skip_unc(const char* name);
char* filename_skip_unc(char* name);
char* filename_normalize(char* name);
char* forwardslash_to_back(char* name);
char* backslash_to_fwd(char* name);
void monocase_filename(char* name);
int filename_monocase_enable(int n);
int filename_strcmp(const char* a, const char* b);
char* filename_long_to_short(const char* name);
char* filename_short_to_long(const char* name);

// Components: pointers into the argument, or null.
const char* filename_first_component(const char* name);
char* filename_first_component(char* name);
const char* filename_last_component(const char* name);
char* filename_last_component(char* name);
const char* filename_nth_first_component(const char* name, int n);
char* filename_nth_first_component(char* name, int n);
const char* filename_nth_last_component(const char* name, int n);
char* filename_nth_last_component(char* name, int n);
const char* filename_extension(const char* name);
char* filename_extension(char* name);
const char* file_extension(const char* name);
char* file_extension(char* name);
const char* basename(const char* name);
char* basename(char* name);
const char* filename_basename(const char* name);
char* filename_basename(char* name);
// New strings.
char* dirname(const char* name);
char* filename_dirname(const char* name);
char* filename_dirname2(const char* name, int n);

// Joining, quoting, home directories, working directory (new strings unless
// said otherwise).
char* filename_append_filename(const char* dir, const char* name);
char* string_normalize_quotes(const char* text);
char* tilde_expand(const char* name);
// The cached working directory; never released by the caller.
const char* get_cwd();
void get_cwd_changed_directory();

// Split a writable search list at sep, one entry per call, like strtok but
// keeping empty entries. A null list continues the scan in progress.
char* path_list_token(char* list, int sep);

// Executable search.
char* check_exec_file(const char* path);
char* find_exec_path2(const char* list, const char* name);
char* find_exec_path(const char* list, const char* name);
time_t search_path_mtime(const char* list, const char* name, char** dir_out);
time_t find_executable_mtime(const char* name, char** dir_out);

// ---------------------------------------------------------------------------
// Wildcard matching (filename/wild_match.cpp). The flag word is shared by the
// matcher, the globber and the shell-style expansion.
// ---------------------------------------------------------------------------

constexpr int WILD_FILES = 0x0001;
constexpr int WILD_DIRS = 0x0002;
constexpr int WILD_DOTFILES = 0x0010;
constexpr int WILD_ALLDIRS = 0x0020;
constexpr int WILD_SORT_NOCASE = 0x0040;
constexpr int WILD_SORT_DIRS_FIRST = 0x0080;
constexpr int WILD_NOSORT = 0x0100;
constexpr int WILD_NOCASE = 0x0400;
constexpr int WILD_LSTAT = 0x1000;

// 1 if the whole name matches the pattern, else 0.
int wild_match(const char* name, const char* pattern, int flags);
// 1 if the text holds any of "$*[?".
int is_wildcard(const char* string);
// Counts enables up and disables down; nothing reads the count.
extern int32_t wild_case_conversion_count;
void wild_set_case_conversion(int enable);

// ---------------------------------------------------------------------------
// Directory globbing (filename/glob*.cpp, filename/wild_*.cpp). Not
// re-entrant: the settings, the match-name buffer and the sort flags below
// are process-wide.
// ---------------------------------------------------------------------------

// Seconds one glob_filenames call may spend expanding; 0 = no limit.
extern int32_t wild_limit_timeout;
// Names one wildcard component may add before its expansion stops; 0 = no
// limit.
extern int32_t wild_limit_max_count;
// While non-zero every status query of the globber uses lstat. A counter:
// raise it around a query and lower it afterwards, so nested uses compose.
extern int32_t wild_lstat;
// Reset to 0 by every glob_filenames call.
extern int32_t shell_error;
// The flag word of the sort in progress, read by wild_compare.
extern int32_t wild_sort_flags;
// Holds the name wild_next_match returns; grown on demand and kept.
extern dstr wild_match_name;

// One result of glob_filenames. The array ends with an entry whose ge_name is
// null; the receiver releases every ge_name and then the array (chk_free).
struct glob_entry {
  char* ge_name;        // the path
  int32_t ge_size;      // bytes available in ge_name's buffer
  struct stat ge_stat;  // status of the path; all zero when it could not be had
};

// Reads VN_WILD_LIMIT_TIMEOUT and VN_WILD_LIMIT_MAX_COUNT when they are set.
void wild_init();
// The existing paths a pattern names, filtered by WILD_FILES / WILD_DIRS when
// the pattern has a wildcard component, sorted unless WILD_NOSORT. Names
// that begin with "|" or "!" come back as the one entry. Null only when the
// pattern is null or memory runs out.
glob_entry* glob_filenames(const char* pattern, int flags);
// stat, or lstat when wild_lstat is raised or WILD_LSTAT is in the flags.
int wild_stat(const char* path, struct stat* status, int flags);
// The next name in the directory of base (the current directory when base
// is null) that matches component or, with WILD_ALLDIRS, is a directory.
// *directory starts empty and is managed by the calls; null at the end. The
// name lives in wild_match_name until the next call.
char* wild_next_match(const glob_entry* base, const char* component, int flags, DIR** directory);
// Appends to list (as char* pointers) a new absolute path for every
// directory below directory, never through a symbolic link. When rest is a
// plain path, only directories that hold it are appended (all are still
// searched). Returns the number of paths appended.
int wild_walk_tree(dstr* list, const char* directory, int flags, int depth, const char* rest);
// Sort order of two glob_entry records under wild_sort_flags.
int wild_compare(const void* a, const void* b);
// The last delimiter of a leading run of two or more, else the name itself.
const char* skip_delimiter_run(const char* name);
char* skip_delimiter_run(char* name);

// ---------------------------------------------------------------------------
// Brace and shell-style expansion (filename/brace*.cpp, shell_expand.cpp,
// expand_tree.cpp, dollar.cpp)
// ---------------------------------------------------------------------------

// Flag bits read by the expansions only: shell_expand splits words that may
// hold spaces, and expand_directory_tree marks the globs of its descent.
constexpr int WILD_SPACED_WORDS = 0x0200;
constexpr int WILD_TREE_DESCENT = 0x0800;

// A growable list of strings, each owned by the list. An empty list has a
// null bl_items. The receiver releases every string, then bl_items, then the
// record, all with chk_free. The functions returning lists give null when
// memory runs out or a text would expand to more than 2^20 strings or
// 256 MiB.
struct brace_list {
  char** bl_items;
  int32_t bl_count;  // strings in use
  int32_t bl_size;   // pointer slots allocated
};

// Every expansion of the text in order ("a{b,c}d" gives "abd", "acd"); the
// text itself when it holds no expandable group.
brace_list* brace_expand(const char* text);
// Expands every string of the list in place.
void do_brace_expand(brace_list* list);
// The expansions of the text's first expandable group, the rest of the text
// expanded too; an empty list when there is no such group.
brace_list* do_brace_expand2(const char* text);
// A copy of each of the n alternatives of a group's inside ("a,b,{c,d}"),
// which ends at its terminator or at the "}" closing the group.
brace_list* do_brace_enum(const char* inside, int n);
// Puts the strings of other into list at index, replacing the string there
// when index < bl_count; other is consumed.
void brace_insert(brace_list* list, brace_list* other, int index);
void brace_append(brace_list* list, brace_list* other);

// Words of the text (string_qword_split with split_flags), brace-expanded.
// kind is 1 for a literal word that must not be globbed, 0 otherwise; the
// array ends with a null word. The number of words goes to count_out.
string_qword* brace_expand_string(const char* text, int* count_out, int split_flags);

// The sorted, duplicate-free names the words of the text glob to, ending
// with a null pointer; a text beginning with "!" or "|" comes back alone.
// The caller owns the array and every string; null when memory runs out.
char** shell_expand(const char* text, int flags);
// The text itself when it neither begins with "~" nor holds a wildcard;
// otherwise the first name it expands to, valid until the next expanding
// call, or "" when there is none. Never null.
const char* expand_filename(const char* text);
char* expand_filename(char* text);
// Every non-directory entry below a directory (or matching a pattern whose
// last component holds a wildcard), ending with a null ge_name; null when
// nothing was found.
glob_entry* expand_directory_tree(const char* path, int flags);
// A new string with "$NAME" replaced by the variable's value (nothing when
// unset) and "\$" by "$"; null when memory runs out.
char* wild_dollar_substitute(const char* text);

// ---------------------------------------------------------------------------
// File-name simplification (filename/simplify.cpp, filename/collapse.cpp)
// ---------------------------------------------------------------------------

// New string: the text unquoted, wildcard-expanded and simplified.
char* simplify_and_expand_filename(const char* text);
// New string: the name made absolute with "~", ".", ".." and repeated
// delimiters folded away (textually; links are not resolved).
char* simplify_filename(const char* name);
// Folds delimiter runs, "." and ".." components in place.
void wild_collapse(char* name);
// New string: the name with every "/../" applied to the text before it.
char* remove_dotdot(const char* name);

// ---------------------------------------------------------------------------
// Directory trees (filename/dirtree.cpp)
// ---------------------------------------------------------------------------

int port_mkdir(const char* path, mode_t mode);
// Create dir and every missing parent; 0 when it exists afterwards, -1 if not.
int make_directory_tree(const char* dir, mode_t mode);
// Make the directory part of path exist. The path is cut temporarily at its
// delimiters and restored before returning.
int make_directory_tree2(char* path, mode_t mode);
int mkdir_open(const char* path, int flags, mode_t mode);
FILE* mkdir_fopen(const char* path, const char* fmode, mode_t dmode);

// ---------------------------------------------------------------------------
// Portability layer (lib/port_*.cpp): names the library calls on every system,
// mapped onto what this one offers. Some share a name with a C library
// function (stat64, open64, sighold ...); none is a macro, so the C
// library's stay usable. Where both are in sight, a call that fits both
// (sighold, sigrelse) must say which: vn::sighold.
// ---------------------------------------------------------------------------

// The status and open calls; off_t is already 64 bits wide here.
int stat64(const char* path, struct stat* st);
int lstat64(const char* path, struct stat* st);
int fstat64(int fd, struct stat* st);
int open64(const char* path, int flags, mode_t mode);
int64_t sys_lseek64(int fd, int64_t offset, int whence);

// Socket calls under their other family's names.
int closesocket(int fd);
int ioctlsocket(int fd, unsigned long request, void* arg);

// There are no drives: does nothing and returns 0.
int _chdrive(int drive);
// The real identities cannot be set alone: do nothing and return -2.
int setruid(uid_t uid);
int setrgid(gid_t gid);

// Block or unblock one signal of 1 to 31, leaving the others as they are;
// 0, or -1 with errno EINVAL for any other number (nothing is changed).
int sighold(int sig);
int sigrelse(int sig);

// Host and system identification. get_nodename and get_systemname take a
// buffer of at least SYSTEM_NAME_BUFFER_SIZE bytes; on failure they leave an
// empty text in it and return -1.
constexpr size_t SYSTEM_NAME_BUFFER_SIZE = 256;
int get_hostname(char* buf, size_t len);
long my_gethostid();
int get_nodename(char* buf);
int get_systemname(char* buf);

}  // namespace vn

#endif  // VNLIB_H
