// errors.h - the two ways a vnpack command fails.
//
// A UsageError is a command line that makes no sense (exit status 2, with a
// hint to try --help); a Failure is a command that could not be carried out
// (exit status 1). main() prints either as one "vnpack: " line.
#ifndef VNPACK_ERRORS_H
#define VNPACK_ERRORS_H

#include <stdexcept>
#include <string>
#include <vector>

namespace vnpack {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "PATH: what" plus the text of errno, for failed system calls.
[[noreturn]] void fail_errno(const std::string& path, const std::string& what);

// Several refusals as the text of one Failure: main() prints it after
// "vnpack: ", so each line gets that prefix too.
std::string as_lines(const std::vector<std::string>& lines);

}  // namespace vnpack

#endif  // VNPACK_ERRORS_H
