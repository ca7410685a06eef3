// fuzz_input.h - cuts one fuzzer input into the arguments of the calls a
// target makes: single bytes for flags and sizes, zero-terminated texts.
#ifndef VNINSTALL_FUZZ_INPUT_H
#define VNINSTALL_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

class fuzz_input {
 public:
  fuzz_input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return size_ == 0; }

  // The next byte; 0 once the input is used up.
  unsigned take_byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }

  // The bytes up to the next zero byte (or the end), without it.
  std::string take_text() {
    const std::string_view rest = view();
    const size_t end = rest.find('\0');
    const std::string text(rest.substr(0, end));
    skip(end == std::string_view::npos ? size_ : end + 1);
    return text;
  }

  // Up to n of the next bytes.
  std::string_view take_bytes(size_t n) {
    const std::string_view taken = view().substr(0, n);
    skip(taken.size());
    return taken;
  }

  std::string_view take_rest() { return take_bytes(size_); }

 private:
  std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }
  void skip(size_t n) {
    data_ += n;
    size_ -= n;
  }

  const uint8_t* data_;
  size_t size_;
};

// A broken property: stop here so the fuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) std::abort(); \
  } while (0)

#endif  // VNINSTALL_FUZZ_INPUT_H
