// Script records: a bzip2-compressed shell script, decompressed into the
// work file and run with INSTALL_ROOT naming the install directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "archive.h"
#include "installer.h"
#include "vnlib.h"
#include "work_file.h"

namespace {

constexpr mode_t SCRIPT_CREATE_MODE = 0666;  // 0644 under the umask 022
constexpr mode_t SCRIPT_RUN_MODE = 0755;

// The block the environment points at; replaced by the next script record.
char* install_root_entry = nullptr;

// INSTALL_ROOT is the directory the welcome dialogue chose; without one
// (archive output mode, or no welcome record yet) it is the current
// directory, where archives have been unpacked.
void export_install_root() {
  const char* root = install_root != nullptr ? install_root : vn::get_cwd();
  char* entry = vn::chk_makestr("INSTALL_ROOT=", root, nullptr);
  if (entry == nullptr || putenv(entry) != 0) {
    std::fputs("Error: cannot set environment variable\n", stdout);
    std::exit(1);
  }
  vn::chk_free_safe(install_root_entry);  // no longer in the environment
  install_root_entry = entry;
}

// Decompresses the body into the work file; 0 when the whole script was
// written. A corrupt or cut-short stream, and a script that could not be
// written completely, give 1: running a part of a script is never safe.
int extract_script(int fd, uint32_t length, const char* path) {
  const int out = create_work_file(path, SCRIPT_CREATE_MODE);
  FILE* file = out >= 0 ? fdopen(out, "w") : nullptr;
  if (file == nullptr) {
    if (out >= 0) close(out);
    work_file_creation_failed("Error: cannot create script file %s\n");
  }
  const off_t body_offset = lseek(fd, 0, SEEK_CUR);
  feed_start(static_cast<uint32_t>(body_offset < 0 ? 0 : body_offset), length);
  feed_output_stream = file;
  int result = body_offset < 0 ? 1 : bzunzip(0, record_reader, buffered_file_writer);
  // A body that is there in the head but not in the file holds no script.
  if (length > 0 && feed_bytes_handed_out() == 0) result = 1;
  if (std::ferror(file)) result = 1;
  if (std::fclose(file) != 0) result = 1;
  feed_output_stream = nullptr;
  return result;
}

}  // namespace

int handle_script_record(int fd, const unsigned char* head) {
  const uint32_t length = record_body_length(head);
  char path[WORK_PATH_SIZE];
  const bool path_fits = work_file_path(path);
  export_install_root();
  if (gz_install) return 0;

  print_with_work_path("Extract script to %s\n");
  std::fflush(stdout);
  if (!path_fits) work_file_creation_failed("Error: cannot create script file %s\n");
  const int result = extract_script(fd, length, path);

  if (debug_install) {
    std::printf("%s created...waiting\n", path);
    std::fflush(stdout);
    stop_if_interrupted(run_shell_command("sh -i"), nullptr);
  }
  if (result != 0) return result;  // not run; left for inspection

  chmod(path, SCRIPT_RUN_MODE);
  const bool ran = run_work_file(path, nullptr);
  std::remove(path);
  return ran ? 0 : 1;
}
