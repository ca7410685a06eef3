// file_io.h - small RAII helpers over POSIX file descriptors, and the byte
// sink interface the package writer, tar writer and compressor chain through.
#ifndef VNPACK_FILE_IO_H
#define VNPACK_FILE_IO_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vnpack {

// Chunk size for every streaming copy.
constexpr size_t IO_CHUNK = 64 * 1024;

// An open file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  ~Fd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

// Opens path read-only; a Failure naming the path when it cannot.
Fd open_for_reading(const std::string& path);

// Reads up to n bytes, retrying short reads and EINTR; the count is less than
// n only at the end of the file. A read error is a Failure naming path.
size_t read_some(int fd, void* buf, size_t n, const std::string& path);

// Reads up to n bytes at offset (pread); same contract as read_some.
size_t read_at(int fd, void* buf, size_t n, uint64_t offset, const std::string& path);

// Writes all n bytes (retrying short writes); a Failure naming path otherwise.
void write_all(int fd, const void* buf, size_t n, const std::string& path);
void write_at(int fd, const void* buf, size_t n, uint64_t offset, const std::string& path);

// The last component of a path: what follows its last '/'.
std::string last_component(const std::string& path);

// Where bytes go: the output file, the compressor, ...
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const void* data, size_t n) = 0;
};

// Copies a whole open file into a sink in IO_CHUNK pieces; returns the count.
uint64_t copy_to_sink(int fd, ByteSink& sink, const std::string& path);

}  // namespace vnpack

#endif  // VNPACK_FILE_IO_H
