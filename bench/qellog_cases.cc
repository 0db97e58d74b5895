// qellog's write path and its floors, with one and two threads, and four
// (more threads than this machine has cores) where threads contend.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "qellog/qellog.h"

namespace {

using qbench::kValue;

using qbench::kAllPrefix;
using qbench::kNoPeriodicSync;
using qbench::kPrefixStandIn;

// State shared by the threads of one run; thread 0 sets it up before the
// timed loop (the library starts all threads at the loop together) and
// tears it down once every thread has reported its count.
struct Run {
  std::string dir;
  CQel_Log* log = nullptr;
  int fd = -1;
  long long lines[64] = {};
  std::atomic<int> finished{0};
};
Run g_run;

void begin(benchmark::State& state, const char* name) {
  if (state.thread_index() != 0) return;
  g_run.dir = qbench::fresh_dir(name);
  std::fill(std::begin(g_run.lines), std::end(g_run.lines), 0);
  g_run.finished.store(0);
}

// Called by every thread after its loop; thread 0 waits for the others, then
// runs `teardown` and checks the files.
template <typename Teardown>
void end(benchmark::State& state, long long written, Teardown teardown, bool verify = true) {
  g_run.lines[state.thread_index()] = written;
  g_run.finished.fetch_add(1);
  state.SetItemsProcessed(static_cast<int64_t>(written));
  if (state.thread_index() != 0) return;
  while (g_run.finished.load() != state.threads()) std::this_thread::yield();
  teardown();
  if (verify) qbench::verify_lines(state, g_run.dir, state.threads(), g_run.lines);
  qbench::remove_dir(g_run.dir);
}

// Without a periodic fsync a line is as durable as a peer's flushed line:
// in the kernel when the call returns. The *_fsync case shows the default
// cadence (an inline fsync every 1001 writes) for comparison.

CQel_Log* open_log(unsigned bits, unsigned flushcount = kNoPeriodicSync) {
  CQel_Log* log = new CQel_Log((g_run.dir + "/q.log").c_str(), O_WRONLY | O_CREAT, 0644);
  log->set_logbits(bits);
  log->set_flushcount(flushcount);
  return log;
}

// One case: thread 0 runs `setup` before the timed loop, every thread calls
// `line(worker, iteration)` in it, and thread 0 runs `teardown` and checks
// the files afterwards (unless `lines_kept` is false: the case drops them).
template <typename Setup, typename Line, typename Teardown>
void run_case(benchmark::State& state, const char* name, Setup setup, Line line, Teardown teardown,
              bool lines_kept = true) {
  begin(state, name);
  if (state.thread_index() == 0) setup();
  const int w = state.thread_index();
  int i = 0;
  for (auto _ : state) {
    line(w, i);
    ++i;
  }
  end(state, i, teardown, lines_kept);
}

void open_floor_file() {
  g_run.fd = open((g_run.dir + "/floor.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
}
void close_floor_file() { close(g_run.fd); }
void delete_log() { delete g_run.log; }

// The floor: the same line formatted into a stack buffer and written with
// one write(2) to an O_APPEND file.
void BM_floor_append(benchmark::State& state) {
  run_case(
      state, "floor_append", open_floor_file,
      [](int w, int i) {
        benchmark::DoNotOptimize(qbench::floor_write(g_run.fd, kPrefixStandIn, w, i, false));
      },
      close_floor_file);
}

// The floor with qellog's default cadence (each thread counts its own
// writes, so the run as a whole syncs as often as qellog does and no
// counter is shared).
void BM_floor_append_fsync(benchmark::State& state) {
  run_case(
      state, "floor_append_fsync", open_floor_file,
      [](int w, int i) {
        benchmark::DoNotOptimize(qbench::floor_write(g_run.fd, kPrefixStandIn, w, i, true));
      },
      close_floor_file);
}

// The floor as the write primitive first had it: lseek to the end, then write.
void BM_floor_lseek_append(benchmark::State& state) {
  run_case(
      state, "floor_lseek_append", open_floor_file,
      [](int w, int i) {
        lseek(g_run.fd, 0, SEEK_END);
        benchmark::DoNotOptimize(qbench::floor_write(g_run.fd, kPrefixStandIn, w, i, false));
      },
      close_floor_file);
}

void BM_gettimeofday(benchmark::State& state) {
  for (auto _ : state) {
    timeval t;
    gettimeofday(&t, nullptr);
    benchmark::DoNotOptimize(t);
  }
  state.SetItemsProcessed(state.iterations());
}

// What a dropped message cannot avoid: the clock reading and the mask test.
void BM_ref_clock_and_mask(benchmark::State& state) {
  static std::atomic<unsigned> mask{kAllPrefix};
  for (auto _ : state) {
    timeval t;
    gettimeofday(&t, nullptr);
    const bool passes = (mask.load(std::memory_order_relaxed) & 0x80) != 0;
    benchmark::DoNotOptimize(t);
    benchmark::DoNotOptimize(passes);
  }
  state.SetItemsProcessed(state.iterations());
}

// What the write path avoids per line, measured alone: the two identity
// system calls (both ids are cached), and a calendar conversion (cached per
// thread for the current second).
void BM_ref_getpid_gettid(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(getpid());
    benchmark::DoNotOptimize(syscall(SYS_gettid));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ref_localtime_r(benchmark::State& state) {
  time_t now = time(nullptr);
  for (auto _ : state) {
    struct tm cal;
    benchmark::DoNotOptimize(localtime_r(&now, &cal));
  }
  state.SetItemsProcessed(state.iterations());
}

void all_prefix_line(int w, int i) { g_run.log->writelog(2, w, QBENCH_FORMAT, w, i, kValue); }

void BM_qellog_all_prefix(benchmark::State& state) {
  run_case(
      state, "qellog_all_prefix", [] { g_run.log = open_log(kAllPrefix); }, all_prefix_line,
      delete_log);
}

void BM_qellog_all_prefix_fsync(benchmark::State& state) {
  run_case(
      state, "qellog_all_prefix_fsync", [] { g_run.log = open_log(kAllPrefix, 1000); },
      all_prefix_line, delete_log);
}

void BM_qellog_no_prefix(benchmark::State& state) {
  run_case(
      state, "qellog_no_prefix", [] { g_run.log = open_log(3); },
      [](int w, int i) { g_run.log->writelog(2, QBENCH_FORMAT, w, i, kValue); }, delete_log);
}

void BM_qellog_dropped(benchmark::State& state) {
  run_case(
      state, "qellog_dropped", [] { g_run.log = open_log(kAllPrefix); },
      [](int w, int i) { g_run.log->writelog(0x80, w, QBENCH_FORMAT, w, i, kValue); }, delete_log,
      false);
}

// The all-prefix line with the flush thread running and rotating at 64 KiB,
// woken every 1001 writes (the default flush count).
void BM_qellog_rotating(benchmark::State& state) {
  run_case(
      state, "qellog_rotating",
      [] {
        g_run.log = open_log(kAllPrefix, 1000);
        g_run.log->set_maxfilesize(64 * 1024);
        g_run.log->start_flush_thread();
      },
      all_prefix_line, delete_log);
}

// The all-prefix line through the process-wide interface.
void BM_qellog_api(benchmark::State& state) {
  begin(state, "qellog_api");
  if (state.thread_index() == 0) {
    const std::string home = g_run.dir + "/home";
    const std::string conf = home + "/.config/qel";
    mkdir(home.c_str(), 0755);
    mkdir((home + "/.config").c_str(), 0755);
    mkdir(conf.c_str(), 0755);
    FILE* f = std::fopen((conf + "/qbench_param.ini").c_str(), "w");
    std::fprintf(f,
                 "[LOGGING]\nLogpath=%s\nLogname=api.log\nLogFileFlags=O_CREAT\nLogging=0x%x\n"
                 "Flushcount=%u\n",
                 g_run.dir.c_str(), kAllPrefix, kNoPeriodicSync);
    std::fclose(f);
    setenv("HOME", home.c_str(), 1);
    char name[] = "qbench";
    init_logging(name);
    if (get_logparam_logbits() != kAllPrefix) state.SkipWithError("init_logging failed");
  }
  const int w = state.thread_index();
  void* value = reinterpret_cast<void*>(static_cast<intptr_t>(w));
  int i = 0;
  for (auto _ : state) {
    writelog(2, value, QBENCH_FORMAT, w, i, kValue);
    ++i;
  }
  end(state, i, [] { exit_logging(); });
}

// Per-call latency of the all-prefix line, with or without the flush thread
// rotating at 64 KiB: the worst call and the 99.9th percentile, in
// microseconds. Host threads must never wait for a rename, open or fsync.
void BM_qellog_latency(benchmark::State& state) {
  const bool rotating = state.range(0) != 0;
  begin(state, rotating ? "latency_rotating" : "latency_plain");
  if (state.thread_index() == 0) {
    g_run.log = open_log(kAllPrefix, 1000);
    if (rotating) {
      g_run.log->set_maxfilesize(64 * 1024);
      g_run.log->start_flush_thread();
    }
  }
  const int w = state.thread_index();
  std::vector<uint32_t> buckets(10001, 0);  // 1 us each, the last one open
  int64_t worst_ns = 0;
  int i = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    g_run.log->writelog(2, w, QBENCH_FORMAT, w, i, kValue);
    const int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    worst_ns = std::max(worst_ns, ns);
    ++buckets[std::min<size_t>(static_cast<size_t>(ns / 1000), buckets.size() - 1)];
    ++i;
  }
  int64_t seen = 0;
  size_t p999 = 0;
  for (; p999 < buckets.size(); ++p999) {
    seen += buckets[p999];
    if (seen * 1000 >= static_cast<int64_t>(i) * 999) break;
  }
  state.counters["max_us"] =
      benchmark::Counter(static_cast<double>(worst_ns) / 1000.0, benchmark::Counter::kAvgThreads);
  state.counters["p999_us"] =
      benchmark::Counter(static_cast<double>(p999 + 1), benchmark::Counter::kAvgThreads);
  end(state, i, [] { delete g_run.log; });
}

}  // namespace

BENCHMARK(BM_floor_append)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_floor_append_fsync)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_floor_lseek_append)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_gettimeofday)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_ref_clock_and_mask)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_ref_getpid_gettid)->Threads(1)->UseRealTime();
BENCHMARK(BM_ref_localtime_r)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_qellog_all_prefix)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_qellog_all_prefix_fsync)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_qellog_no_prefix)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_qellog_dropped)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_qellog_rotating)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_qellog_api)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_qellog_latency)->Arg(0)->Arg(1)->Threads(2)->UseRealTime();
