// Globbing speed and memory: "dir/*" over one directory of many files, and
// "**" over a tree of many directories with symbolic links that lead back
// up the tree (a walk that followed them would never end).
//
//   glob_bench [FILES [DIRECTORIES]]     defaults 100000 and 20000
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vnlib.h"

namespace {

namespace fs = std::filesystem;

struct run_result {
  double seconds;      // wall clock
  double cpu_seconds;  // user + system: what a busy machine does not inflate
  size_t entries;
};

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Best of three calls; every result is released.
run_result time_glob(const std::string& pattern, int flags) {
  run_result best{1e9, 1e9, 0};
  for (int round = 0; round < 3; ++round) {
    double cpu_start = cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    vn::glob_entry* entries = vn::glob_filenames(pattern.c_str(), flags);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = cpu_seconds() - cpu_start;
    size_t count = 0;
    for (; entries != nullptr && entries[count].ge_name != nullptr; ++count) vn::chk_free(entries[count].ge_name);
    vn::chk_free(entries);
    if (seconds < best.seconds) best.seconds = seconds;
    if (cpu < best.cpu_seconds) best.cpu_seconds = cpu;
    best.entries = count;
  }
  return best;
}

void report(const char* what, const run_result& run) {
  std::printf("%-28s %7.3f s wall  %7.3f s cpu  %zu entries\n", what, run.seconds, run.cpu_seconds, run.entries);
}

size_t heap_in_use() { return mallinfo2().uordblks; }

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void make_files(const fs::path& dir, long count) {
  fs::create_directories(dir);
  for (long i = 0; i < count; ++i) {
    int fd = open((dir / ("file" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) close(fd);
  }
}

// 20 x 20 x (count / 400) directories, each middle directory holding a
// link back to the top.
void make_tree(const fs::path& top, long count) {
  long leaves = count / 400 > 0 ? count / 400 : 1;
  for (int a = 0; a < 20; ++a) {
    for (int b = 0; b < 20; ++b) {
      fs::path middle = top / ("a" + std::to_string(a)) / ("b" + std::to_string(b));
      for (long c = 0; c < leaves; ++c) fs::create_directories(middle / ("c" + std::to_string(c)));
      fs::create_directory_symlink(top, middle / "up");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  long files = argc > 1 ? std::atol(argv[1]) : 100000;
  long directories = argc > 2 ? std::atol(argv[2]) : 20000;
  char scratch[] = "/tmp/vn-glob-bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  fs::path root = scratch;
  // The whole directory is wanted, not the first 5000 names.
  vn::wild_limit_max_count = 0;

  std::printf("%ld files in dir, %ld directories in tree\n", files, directories);
  make_files(root / "dir", files);
  std::string flat = (root / "dir" / "*").string();
  vn::glob_entry* warm = vn::glob_filenames(flat.c_str(), vn::WILD_FILES);
  for (size_t i = 0; warm != nullptr && warm[i].ge_name != nullptr; ++i) vn::chk_free(warm[i].ge_name);
  vn::chk_free(warm);
  size_t heap_before = heap_in_use();
  run_result flat_run = time_glob(flat, vn::WILD_FILES);
  size_t heap_after = heap_in_use();
  report("dir/*", flat_run);
  std::printf("%-28s %+ld bytes kept after three calls, peak RSS %ld KiB\n", "", static_cast<long>(heap_after - heap_before),
              peak_rss_kib());

  make_tree(root / "tree", directories);
  std::string deep = (root / "tree" / "**").string();
  run_result deep_run = time_glob(deep, vn::WILD_DIRS);
  report("tree/**", deep_run);
  std::string probe = (root / "tree" / "**" / "c0").string();
  run_result probe_run = time_glob(probe, vn::WILD_DIRS);
  report("tree/**/c0 (plain rest)", probe_run);

  fs::remove_all(root);
  return 0;
}
