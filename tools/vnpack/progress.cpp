// progress.cpp - the terminal line of ProgressMeter.
#include "progress.h"

#include <unistd.h>

#include <string>

namespace vnpack {

namespace {

constexpr double MIB = 1024.0 * 1024.0;

std::string megabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / MIB);
  return text;
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string clock_time(double seconds) {
  const auto s = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lu:%02lu", s / 60, s % 60);
  return text;
}

}  // namespace

ProgressMeter::ProgressMeter(uint64_t total, std::FILE* stream, Clock::duration redraw_interval)
    : stream_(stream),
      enabled_(stream != nullptr && ::isatty(fileno(stream))),
      total_(total),
      interval_(redraw_interval),
      start_(Clock::now()),
      last_draw_(start_) {}

ProgressMeter::~ProgressMeter() {
  if (line_open_) std::fputc('\n', stream_);
}

void ProgressMeter::advance(uint64_t n) {
  done_ += n;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < interval_) return;
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  std::string tail = megabytes(done_);
  if (total_ > 0) {
    const uint64_t done = done_ < total_ ? done_ : total_;
    tail += " of " + megabytes(total_) + " (" + std::to_string(done * 100 / total_) + "%)";
  }
  tail += ", " + megabytes(static_cast<uint64_t>(rate)) + "/s";
  if (total_ > 0 && rate > 0 && done_ < total_)
    tail += ", " + clock_time(static_cast<double>(total_ - done_) / rate) + " left";
  draw(tail.c_str());
}

void ProgressMeter::finish() {
  if (!shown_) return;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  const std::string tail = megabytes(done_) + " in " + clock_time(elapsed) + ", " +
                           megabytes(static_cast<uint64_t>(rate)) + "/s";
  draw(tail.c_str());
  std::fputc('\n', stream_);
  std::fflush(stream_);
  line_open_ = false;
}

// Carriage return, the text, and erase to the end of the line, so a
// shorter line leaves nothing of the one before.
void ProgressMeter::draw(const char* tail) {
  std::fprintf(stream_, "\rvnpack: %s\033[K", tail);
  std::fflush(stream_);
  line_open_ = true;
  shown_ = true;
}

}  // namespace vnpack
