// How far a log's files pass Maxfilesize under load, without and with the
// strict size limit: writer threads write as fast as they can through one
// log whose flush thread syncs and rotates it; at the end every file's size
// is set against the limit. One table row per run, for the README.
//
//   qellog_size_bound [seconds per run]   (default 2)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "qellog/log.h"

namespace {

struct Load {
  int threads;
  unsigned flushcount;
  unsigned long limit;
};

struct Sizes {
  size_t files = 0;
  unsigned long largest = 0;
  unsigned long long total = 0;
};

Sizes file_sizes(const std::string& dir) {
  Sizes s;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return s;
  while (const dirent* e = readdir(d)) {
    struct stat st;
    const std::string path = dir + "/" + e->d_name;
    if (e->d_name[0] == '.' || stat(path.c_str(), &st) != 0) continue;
    ++s.files;
    s.total += static_cast<unsigned long long>(st.st_size);
    s.largest = std::max(s.largest, static_cast<unsigned long>(st.st_size));
  }
  closedir(d);
  return s;
}

Sizes run(const Load& load, bool strict, double seconds) {
  const std::string dir = qbench::fresh_dir(strict ? "size_bound_strict" : "size_bound");
  const std::string path = dir + "/bound.log";
  CQel_Log log(path.c_str(), O_WRONLY | O_CREAT, 0644);
  log.set_flushcount(load.flushcount);
  log.set_maxfilesize(load.limit);
  log.set_strictsize(strict);
  log.start_flush_thread();
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < load.threads; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        log.writelog(2, QBENCH_FORMAT, w, i, qbench::kValue);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (std::thread& t : writers) t.join();
  log.stop_flush_thread();
  const Sizes sizes = file_sizes(dir);
  qbench::remove_dir(dir);
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const Load loads[] = {{8, 1, 64 * 1024}, {4, 50, 64 * 1024}, {2, 1000, 4 * 1024 * 1024}};
  std::printf(
      "| threads | Flushcount | Maxfilesize | Strictsize | MB written | files | largest file | "
      "largest / limit |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Load& load : loads) {
    for (const bool strict : {false, true}) {
      const Sizes s = run(load, strict, seconds);
      std::printf("| %d | %u | %lu | %s | %.1f | %zu | %lu | %.2fx |\n", load.threads,
                  load.flushcount, load.limit, strict ? "yes" : "no",
                  static_cast<double>(s.total) / 1e6, s.files, s.largest,
                  static_cast<double>(s.largest) / static_cast<double>(load.limit));
    }
  }
  return 0;
}
