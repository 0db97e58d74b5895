// A log in a shared directory that another user has filled with files
// named like its rotated ones: how many lines one writer, paced at 3,000
// lines a second, gets through in a given time, its slowest call, and the
// largest file, with and without the
// strict size limit, against the same log in an empty directory. Retention
// (a count of 3) runs after every rotation of 8 KiB files; the planted
// files are empty, of user nobody (with root; the writer's own otherwise),
// and older by their names than every file of the log.
//
//   qellog_crowded_dir [seconds per run] [planted files]   (default 15, 150000)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_util.h"
#include "qellog/log.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr unsigned long kLimit = 8 * 1024;
constexpr std::chrono::microseconds kPace{333};

struct Result {
  long long lines = 0;
  double worst_ms = 0;
  unsigned long largest = 0;
};

// `count` empty files "crowd_2020_MM_DD_hh_mm_ss_mmm.log", one a millisecond
// from 1 January 2020.
void plant(const std::string& dir, long count) {
  for (long i = 0; i < count; ++i) {
    const long ms = i % 1000, s = i / 1000;
    char name[64];
    std::snprintf(name, sizeof name, "crowd_2020_01_%02ld_%02ld_%02ld_%02ld_%03ld.log",
                  1 + s / 86400, s / 3600 % 24, s / 60 % 60, s % 60, ms);
    const int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    if (geteuid() == 0 && fchown(fd, kNobody, kNobody) != 0) std::perror("fchown");
    close(fd);
  }
}

unsigned long largest_log_file(const std::string& dir) {
  unsigned long largest = 0;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  while (const dirent* e = readdir(d)) {
    struct stat st;
    if (e->d_name[0] == '.' || stat((dir + "/" + e->d_name).c_str(), &st) != 0) continue;
    largest = std::max(largest, static_cast<unsigned long>(st.st_size));
  }
  closedir(d);
  return largest;
}

Result run(const std::string& dir, bool strict, double seconds) {
  using Clock = std::chrono::steady_clock;
  Result r;
  {
    CQel_Log log((dir + "/crowd.log").c_str(), O_WRONLY | O_CREAT, 0644);
    log.set_flushcount(5);
    log.set_maxfilesize(kLimit);
    log.set_strictsize(strict);
    log.set_maxfilecount(3);
    log.start_flush_thread();
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    Clock::time_point next = Clock::now();
    for (Clock::time_point now = next; now < end; ++r.lines) {
      log.writelog(2, QBENCH_FORMAT, 0, static_cast<int>(r.lines), qbench::kValue);
      const Clock::time_point after = Clock::now();
      r.worst_ms =
          std::max(r.worst_ms, std::chrono::duration<double, std::milli>(after - now).count());
      // A writer that fell behind does not catch up: the lines it could
      // not write in time are the cost being measured.
      next = std::max(next + kPace, after);
      std::this_thread::sleep_until(next);
      now = Clock::now();
    }
  }
  r.largest = largest_log_file(dir);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 15.0;
  const long planted = argc > 2 ? std::atol(argv[2]) : 150000;
  std::printf("| planted files | Strictsize | lines | worst call ms | largest file | / limit |\n");
  std::printf("|---:|---|---:|---:|---:|---:|\n");
  for (const long count : {0L, planted}) {
    for (const bool strict : {true, false}) {
      const std::string dir = qbench::fresh_dir(strict ? "crowded_strict" : "crowded");
      chmod(dir.c_str(), 01777);
      plant(dir, count);
      const Result r = run(dir, strict, seconds);
      std::printf("| %ld | %s | %lld | %.2f | %lu | %.1fx |\n", count, strict ? "yes" : "no",
                  r.lines, r.worst_ms, r.largest, static_cast<double>(r.largest) / kLimit);
      std::fflush(stdout);
      qbench::remove_dir(dir);
    }
  }
  return 0;
}
