// file_io.cpp - RAII descriptors and loop-until-done reads and writes.
#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "errors.h"

namespace vnpack {

void fail_errno(const std::string& path, const std::string& what) {
  throw Failure(path + ": " + what + ": " + std::strerror(errno));
}

std::string last_component(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string as_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\nvnpack: ") + line;
  return text;
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

Fd open_for_reading(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail_errno(path, "cannot open");
  return Fd(fd);
}

namespace {

// Reads until n bytes are in or the input ends; read_chunk(p, count, done)
// performs one system call for the bytes behind the done already read.
template <typename ReadChunk>
size_t read_until_full(void* buf, size_t n, const std::string& path, ReadChunk read_chunk) {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t got = read_chunk(p + done, n - done, done);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail_errno(path, "read error");
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace

size_t read_some(int fd, void* buf, size_t n, const std::string& path) {
  return read_until_full(buf, n, path, [fd](char* p, size_t count, size_t) { return ::read(fd, p, count); });
}

size_t read_at(int fd, void* buf, size_t n, uint64_t offset, const std::string& path) {
  return read_until_full(buf, n, path, [fd, offset](char* p, size_t count, size_t done) {
    return ::pread(fd, p, count, static_cast<off_t>(offset + done));
  });
}

void write_all(int fd, const void* buf, size_t n, const std::string& path) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t put = ::write(fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      fail_errno(path, "write error");
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
}

void write_at(int fd, const void* buf, size_t n, uint64_t offset, const std::string& path) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t put = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      fail_errno(path, "write error");
    }
    p += put;
    offset += static_cast<uint64_t>(put);
    n -= static_cast<size_t>(put);
  }
}

uint64_t copy_to_sink(int fd, ByteSink& sink, const std::string& path) {
  std::vector<char> buf(IO_CHUNK);
  uint64_t total = 0;
  for (;;) {
    size_t got = read_some(fd, buf.data(), buf.size(), path);
    if (got == 0) break;
    sink.write(buf.data(), got);
    total += got;
  }
  return total;
}

}  // namespace vnpack
