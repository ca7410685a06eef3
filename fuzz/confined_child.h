// confined_child.h - runs part of a fuzz target in a child process shut in
// a scratch directory. For code that creates files under names taken from
// the input (absolute names and ".." included) or that ends the process
// with exit(). The child's coverage counters are copied back, so the fuzzer
// still learns what each input reached.
#ifndef VNINSTALL_CONFINED_CHILD_H
#define VNINSTALL_CONFINED_CHILD_H

#include <string_view>

// The scratch directory, created on first use under TMPDIR (else /tmp).
const char* scratch_directory();

// Writes a file into the scratch directory, mode 0755.
void write_scratch_file(const char* name, std::string_view contents);

// Removes everything inside the scratch directory.
void empty_scratch_directory();

struct confined_run {
  void (*body)(void* arg);  // runs in the child; may return or call exit()
  void* arg;
  std::string_view standard_input;  // what the child reads on descriptor 0
  bool discard_stderr;              // sanitizer reports are still shown
  unsigned time_limit_seconds;
};

// Runs the body in a child whose root and working directory are the
// scratch directory and whose standard output is discarded. Returns when
// the child ended normally; a child that crashed, failed a sanitizer check
// or ran out of time aborts the fuzzer, which keeps the input.
void run_confined(const confined_run& run);

#endif  // VNINSTALL_CONFINED_CHILD_H
