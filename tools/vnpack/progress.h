// progress.h - how far a build has come, shown on a terminal.
//
// The meter counts the input bytes a build has taken in (the installer
// program, file contents, the tar stream before compression) against their
// total, and redraws one line on its stream - done of total, rate, time
// left - when that stream is a terminal. Elsewhere it writes nothing.
#ifndef VNPACK_PROGRESS_H
#define VNPACK_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "file_io.h"

namespace vnpack {

class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds REDRAW_INTERVAL{200};

  // total 0: not known beforehand (input from a pipe); only the bytes done
  // and the rate are shown then.
  ProgressMeter(uint64_t total, std::FILE* stream, Clock::duration redraw_interval = REDRAW_INTERVAL);
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;
  // Ends a line left open (by a failure), so later messages start clean.
  ~ProgressMeter();

  void advance(uint64_t n);
  // The closing line with the total time and rate, if anything was shown.
  void finish();

 private:
  void draw(const char* tail);

  std::FILE* stream_;
  bool enabled_;
  uint64_t total_;
  uint64_t done_ = 0;
  Clock::duration interval_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  bool line_open_ = false;
  bool shown_ = false;
};

// Passes every byte on to another sink and counts it on a meter.
class MeteredSink : public ByteSink {
 public:
  MeteredSink(ByteSink& out, ProgressMeter& meter) : out_(out), meter_(meter) {}
  void write(const void* data, size_t n) override {
    out_.write(data, n);
    meter_.advance(n);
  }

 private:
  ByteSink& out_;
  ProgressMeter& meter_;
};

}  // namespace vnpack

#endif  // VNPACK_PROGRESS_H
