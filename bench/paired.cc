// The write path against its floor in paired rounds. On a shared virtual
// machine the cost of write(2) moves by tens of percent from one second to
// the next (page cache, writeback, the neighbours), far more than the
// difference sought; so each round times every case right after its
// reference, with the same threads on the same disk, and the table gives
// the median of each case and of its per-round ratio to the reference.
//
//   qellog_paired [rounds] [lines per batch]   (default 15, 20000)
#include <fcntl.h>
#include <sys/time.h>
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

using qbench::kAllPrefix;
using qbench::kNoPeriodicSync;
using qbench::kPrefixStandIn;
using qbench::kValue;

constexpr unsigned kDefaultCadence = 1000;  // an fsync after every 1001 writes

std::string g_dir;
int g_fd = -1;
CQel_Log* g_log = nullptr;
std::atomic<unsigned> g_mask{kAllPrefix};

void floor_write(int w, int i, const char* prefix, bool sync) {
  if (!qbench::floor_write(g_fd, prefix, w, i, sync)) std::abort();
}

void open_floor() {
  g_fd = open((g_dir + "/floor.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}
void close_floor() {
  close(g_fd);
  unlink((g_dir + "/floor.log").c_str());
}
void open_log(unsigned bits, unsigned flushcount) {
  g_log = new CQel_Log((g_dir + "/q.log").c_str(), O_WRONLY | O_CREAT, 0644);
  g_log->set_logbits(bits);
  g_log->set_flushcount(flushcount);
}
void close_log() {
  delete g_log;
  unlink((g_dir + "/q.log").c_str());
}

// Pairs: a reference, then the case set against it.
struct Case {
  const char* name;
  bool per_call;  // the clock cases: many more calls per batch
  void (*open)();
  void (*line)(int w, int i);
  void (*close)();
};

const Case kCases[] = {
    {"floor", false, open_floor, [](int w, int i) { floor_write(w, i, kPrefixStandIn, false); },
     close_floor},
    {"qellog_all_prefix", false, [] { open_log(kAllPrefix, kNoPeriodicSync); },
     [](int w, int i) { g_log->writelog(2, w, QBENCH_FORMAT, w, i, kValue); }, close_log},
    {"floor_no_prefix", false, open_floor, [](int w, int i) { floor_write(w, i, "", false); },
     close_floor},
    {"qellog_no_prefix", false, [] { open_log(3, kNoPeriodicSync); },
     [](int w, int i) { g_log->writelog(2, QBENCH_FORMAT, w, i, kValue); }, close_log},
    {"floor_fsync", false, open_floor,
     [](int w, int i) { floor_write(w, i, kPrefixStandIn, true); }, close_floor},
    {"qellog_fsync", false, [] { open_log(kAllPrefix, kDefaultCadence); },
     [](int w, int i) { g_log->writelog(2, w, QBENCH_FORMAT, w, i, kValue); }, close_log},
    // Lines as the opt-in settings shape them: the same short line with
    // long lines allowed, and a line of a named class.
    {"floor_no_prefix", false, open_floor, [](int w, int i) { floor_write(w, i, "", false); },
     close_floor},
    {"qellog_line_limit", false,
     [] {
       open_log(3, kNoPeriodicSync);
       g_log->set_maxlinelength(65536);
     },
     [](int w, int i) { g_log->writelog(2, QBENCH_FORMAT, w, i, kValue); }, close_log},
    {"floor_class", false, open_floor, [](int w, int i) { floor_write(w, i, "NOTE ", false); },
     close_floor},
    {"qellog_named_class", false,
     [] {
       open_log(0x13, kNoPeriodicSync);
       g_log->set_classname(0x10, "NOTE");
     },
     [](int w, int i) { g_log->writelog(0x10, QBENCH_FORMAT, w, i, kValue); }, close_log},
    {"clock_and_mask", true, [] {},
     [](int, int) {
       timeval t;
       gettimeofday(&t, nullptr);
       const bool passes = (g_mask.load(std::memory_order_relaxed) & 0x80) != 0;
       benchmark::DoNotOptimize(t);
       benchmark::DoNotOptimize(passes);
     },
     [] {}},
    {"qellog_dropped", true, [] { open_log(kAllPrefix, kNoPeriodicSync); },
     [](int w, int i) { g_log->writelog(0x80, w, QBENCH_FORMAT, w, i, kValue); }, close_log},
};
constexpr size_t kCaseCount = sizeof kCases / sizeof kCases[0];

// Nanoseconds per call of one batch: `lines` calls shared by `threads`
// threads that start together.
double time_batch(const Case& c, int threads, int lines) {
  c.open();
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  const int each = lines / threads;
  for (int w = 0; w < threads; ++w) {
    pool.emplace_back([&, w] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < each; ++i) c.line(w, i);
    });
  }
  while (ready.load() != threads) std::this_thread::yield();
  const auto t0 = std::chrono::steady_clock::now();
  go.store(true);
  for (std::thread& t : pool) t.join();
  const auto t1 = std::chrono::steady_clock::now();
  c.close();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / (each * threads);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
  const int lines = argc > 2 ? std::atoi(argv[2]) : 20000;
  g_dir = qbench::fresh_dir("paired");
  std::printf("| case | threads | ns per call | vs reference |\n|---|---|---|---|\n");
  for (int threads : {1, 2, 4}) {
    std::vector<std::vector<double>> ns(kCaseCount), ratio(kCaseCount);
    for (int r = 0; r < rounds; ++r) {
      // Each pair in turn, the reference first in even rounds and second in
      // odd ones, so that a drift within a round favours neither.
      for (size_t k = 0; k < kCaseCount; k += 2) {
        for (size_t j : {k + static_cast<size_t>(r % 2), k + 1 - static_cast<size_t>(r % 2)}) {
          const Case& c = kCases[j];
          ns[j].push_back(time_batch(c, threads, c.per_call ? lines * 100 : lines));
        }
        ratio[k + 1].push_back(ns[k + 1].back() / ns[k].back());
      }
    }
    for (size_t k = 0; k < kCaseCount; ++k) {
      char r[16] = "";
      if (!ratio[k].empty()) std::snprintf(r, sizeof r, "%.3fx", median(ratio[k]));
      std::printf("| %s | %d | %.1f | %s |\n", kCases[k].name, threads, median(ns[k]), r);
    }
  }
  qbench::remove_dir(g_dir);
  return 0;
}
