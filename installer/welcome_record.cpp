// Welcome records: the package's text shown word-wrapped, then the dialogue
// that chooses the install directory, creates it when asked to and enters
// it, so that later archives unpack there and scripts learn where it is.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer.h"
#include "vnlib.h"

namespace {

constexpr const char* DEFAULT_INSTALL_DIR = "/usr/local/vantor";
constexpr size_t TEXT_CHUNK = 1024;
constexpr int WRAP_COLUMN = 75;  // no word is moved to end after this column
constexpr size_t DIRECTORY_TEXT_SIZE = 1024;
constexpr size_t ANSWER_MAX_LENGTH = 1022;  // characters of one answer line
constexpr mode_t INSTALL_DIR_MODE = 0755;

// Tab, LF, vertical tab, form feed, CR and blank.
bool is_white_space(unsigned char c) { return (vn::ctype_array[c] & vn::CTYPE_SPACE) != 0; }

// Bytes from start up to the next white space or the end of the chunk.
int word_length(const unsigned char* chunk, size_t start, size_t count) {
  size_t end = start;
  while (end < count && !is_white_space(chunk[end])) ++end;
  return static_cast<int>(end - start);
}

// Writes one chunk of the text, moving a word that would end after the wrap
// column to a new line. Only a byte preceded by white space in the same
// chunk starts a word. A word too long for any line is moved only when the
// line already holds something, and is then written whole.
void write_wrapped(const unsigned char* chunk, size_t count, int& column) {
  for (size_t i = 0; i < count; ++i) {
    const unsigned char c = chunk[i];
    if (c == '\n') {
      std::putchar('\n');
      column = 0;
      continue;
    }
    const bool starts_word = i > 0 && !is_white_space(c) && is_white_space(chunk[i - 1]);
    if (starts_word && column > 0 && word_length(chunk, i, count) + column > WRAP_COLUMN) {
      std::putchar('\n');
      column = 0;
    }
    std::putchar(c);
    ++column;
  }
}

// The record's text, shown unless archives go to standard output.
void show_text(int fd, uint32_t length) {
  unsigned char chunk[TEXT_CHUNK];
  int column = 0;
  while (length > 0) {
    const size_t want = length < TEXT_CHUNK ? length : TEXT_CHUNK;
    if (read_fully(fd, chunk, want) != want) {
      std::fflush(stdout);
      std::fputs("Premature EOF detected\n", stderr);
      std::exit(1);
    }
    if (!gz_install) write_wrapped(chunk, want, column);
    length -= static_cast<uint32_t>(want);
  }
  std::fflush(stdout);
}

enum class answer_status { ended, read, too_long };

// Reads one answer line after making the prompt visible; its newline stays
// in the answer. A line longer than the answer may hold is read to its end
// and reported, so no part of it becomes the answer to the next question.
// Bytes are taken one by one: a zero byte in the line cannot hide where the
// line ends.
answer_status read_answer(char* answer) {
  std::fflush(stdout);
  size_t n = 0;
  bool too_long = false;
  int c;
  while ((c = std::getchar()) != EOF) {
    if (c == '\n') {
      answer[n++] = '\n';
      break;
    }
    if (n == ANSWER_MAX_LENGTH)
      too_long = true;
    else
      answer[n++] = static_cast<char>(c);
  }
  answer[n] = '\0';
  if (too_long) return answer_status::too_long;
  return n == 0 ? answer_status::ended : answer_status::read;
}

// The typed directory, or the default for Enter and for the end of input.
// A name cut to fit the answer would be another directory: it is refused.
void ask_directory(char* directory) {
  char answer[DIRECTORY_TEXT_SIZE];
  std::printf("Directory where to install software [%s]: ", directory);
  const answer_status status = read_answer(answer);
  if (status == answer_status::too_long) {
    std::printf("\nError: The install directory name is too long.\n"
                "       At most %zu characters can be given.\n",
                ANSWER_MAX_LENGTH);
    std::exit(1);
  }
  if (status == answer_status::ended || answer[0] == '\0' || answer[0] == '\n') return;
  size_t n = std::strlen(answer);
  while (n > 0 && answer[n - 1] == '\n') answer[--n] = '\0';
  std::memcpy(directory, answer, n + 1);
}

[[noreturn]] void fail_with_directory(const char* first_line) {
  const int failure = errno;  // the report's own writes may fail too
  std::printf("%s       %s\n", first_line, install_root);
  std::fflush(stdout);
  errno = failure;
  std::perror("Create failed");
  std::exit(1);
}

// A missing directory is created when the user agrees or input has ended.
void create_if_missing() {
  struct stat st;
  if (stat(install_root, &st) == 0) return;
  std::printf("\nThe install directory [%s] does not exist.\n", install_root);
  std::printf("Do you wish to create it [y/n] ? ");
  char answer[DIRECTORY_TEXT_SIZE];
  if (read_answer(answer) != answer_status::ended && answer[0] != 'y' && answer[0] != 'Y') {
    std::printf("\nInstallation aborted. Please try again.\n");
    std::exit(1);
  }
  if (vn::port_mkdir(install_root, INSTALL_DIR_MODE) < 0)
    fail_with_directory("Error: Failed to create the install directory.\n");
}

// A name that stayed relative (a "~user" of an unknown user, a name that
// begins with "|") was entered from the starting directory; the scripts run
// later from inside it, so they are given the absolute path instead.
void keep_absolute_root() {
  if (vn::is_absolute(install_root)) return;
  const char* cwd = vn::get_cwd();
  char* absolute = cwd != nullptr ? vn::chk_strdup(cwd) : nullptr;
  if (absolute == nullptr) return;
  vn::chk_free(install_root);
  install_root = absolute;
}

// A name is taken from the working directory unless it is absolute or
// stands for one: "~" names, "$VARIABLE" names, and commands ("|", "!"),
// one enclosing quote allowed.
bool taken_from_working_directory(const char* text) {
  if (text[0] == '"' || text[0] == '\'') ++text;
  return !vn::is_absolute(text) && text[0] != '~' && text[0] != '$' && text[0] != '|' && text[0] != '!' &&
         text[0] != '\0';
}

// When the directory the installer was started from has been removed, the
// system cannot name it any more, and a relative name would be placed under
// a made-up path ("../x" even at the top of the file system): refused.
void require_working_directory(const char* directory) {
  char cwd[PATH_MAX];
  if (!taken_from_working_directory(directory) || getcwd(cwd, sizeof cwd) != nullptr) return;
  const int failure = errno;
  std::printf("Error: Cannot find the current directory, to which this name is relative:\n       %s\n", directory);
  std::fflush(stdout);
  errno = failure;
  std::perror("Current directory");
  std::exit(1);
}

}  // namespace

int handle_welcome_record(int fd, const unsigned char* head) {
  show_text(fd, record_body_length(head));
  if (gz_install) return 0;

  char directory[DIRECTORY_TEXT_SIZE];
  std::snprintf(directory, sizeof directory, "%s", DEFAULT_INSTALL_DIR);
  ask_directory(directory);
  require_working_directory(directory);

  char* expanded = vn::simplify_and_expand_filename(directory);
  if (expanded == nullptr) {
    std::printf("Error: cannot expand the install directory.\n       %s\n", directory);
    std::exit(1);
  }
  vn::chk_free_safe(install_root);  // an earlier welcome record's choice
  install_root = expanded;

  create_if_missing();
  if (chdir(install_root) != 0) fail_with_directory("Error: Cannot switch to the install directory.\n");
  vn::get_cwd_changed_directory();
  keep_absolute_root();
  return 0;
}
