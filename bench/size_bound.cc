// How far a log's files pass Maxfilesize under load, without and with the
// strict size limit: writer threads write as fast as they can through one
// log whose flush thread syncs and rotates it; at the end every file's size
// is set against the limit. One table row per run, for docs/operations.md; then
// the same across a service's life: a restart on a file an earlier run
// left past the limit, and two processes logging to one file.
//
//   qellog_size_bound [seconds per run]   (default 2)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
  int threads;  // per process
  unsigned flushcount;
  unsigned long limit;
  int processes = 1;
  unsigned long before = 0;  // bytes an earlier run left in the file
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

// An earlier run's file of `bytes` bytes of lines.
void leave_earlier_file(const std::string& path, unsigned long bytes) {
  std::string text;
  while (text.size() < bytes) text += "a line of the earlier run, before the restart\r\n";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, text.data(), bytes) != static_cast<ssize_t>(bytes)) std::abort();
  close(fd);
}

// One process's log and writers on `path`.
void write_for(const std::string& path, const Load& load, bool strict, double seconds) {
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
}

Sizes run(const Load& load, bool strict, double seconds) {
  const std::string dir = qbench::fresh_dir(strict ? "size_bound_strict" : "size_bound");
  const std::string path = dir + "/bound.log";
  if (load.before != 0) leave_earlier_file(path, load.before);
  std::vector<pid_t> children;
  for (int p = 1; p < load.processes; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      write_for(path, load, strict, seconds);
      _exit(0);
    }
    children.push_back(pid);
  }
  write_for(path, load, strict, seconds);
  for (const pid_t pid : children) waitpid(pid, nullptr, 0);
  const Sizes sizes = file_sizes(dir);
  qbench::remove_dir(dir);
  return sizes;
}

void print_row(const char* what, const Load& load, bool strict, const Sizes& s) {
  std::printf("| %s%d | %u | %lu | %s | %.1f | %zu | %lu | %.2fx |\n", what, load.threads,
              load.flushcount, load.limit, strict ? "yes" : "no",
              static_cast<double>(s.total) / 1e6, s.files, s.largest,
              static_cast<double>(s.largest) / static_cast<double>(load.limit));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const Load loads[] = {{8, 1, 64 * 1024}, {4, 50, 64 * 1024}, {2, 1000, 4 * 1024 * 1024}};
  const char* head =
      "| threads | Flushcount | Maxfilesize | Strictsize | MB written | files | largest file | "
      "largest / limit |\n|---|---|---|---|---|---|---|---|\n";
  std::printf("%s", head);
  for (const Load& load : loads) {
    for (const bool strict : {false, true}) print_row("", load, strict, run(load, strict, seconds));
  }
  // A restart on a file of 99,000 bytes, and two processes of 2 writers.
  std::printf("\nAcross restarts and processes:\n\n%s", head);
  const Load restart{4, 1000, 64 * 1024, 1, 99000};
  const Load shared{2, 50, 64 * 1024, 2, 0};
  for (const bool strict : {false, true}) {
    print_row("restart, ", restart, strict, run(restart, strict, seconds));
  }
  for (const bool strict : {false, true}) {
    print_row("2 processes x ", shared, strict, run(shared, strict, seconds));
  }
  return 0;
}
