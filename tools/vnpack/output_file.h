// output_file.h - the installer being written: a temporary file beside the
// final name, renamed into place only when complete and removed on any
// failure (also when vnpack is interrupted by a signal).
#ifndef VNPACK_OUTPUT_FILE_H
#define VNPACK_OUTPUT_FILE_H

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "file_io.h"

namespace vnpack {

class OutputFile : public ByteSink {
 public:
  explicit OutputFile(std::string final_path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() override;  // removes the temporary file unless committed

  // Appends; refuses to let the file reach 4 GiB.
  void write(const void* data, size_t n) override;
  void write_at(const void* data, size_t n, uint64_t offset);
  uint64_t position() const { return position_; }
  int fd() const { return fd_.get(); }
  const std::string& temp_path() const { return temp_path_; }

  // Gives the file its mode (by default executable: 0777) less the umask,
  // flushes it to disk and renames it to the final name.
  void commit(mode_t mode = 0777);

 private:
  std::string final_path_;
  std::string temp_path_;
  Fd fd_;
  uint64_t position_ = 0;
  bool committed_ = false;
};

}  // namespace vnpack

#endif  // VNPACK_OUTPUT_FILE_H
