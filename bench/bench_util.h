// Shared pieces of the benchmarks: the message every case writes, a scratch
// directory on the local disk, and the check that every line of a run
// reached its file whole.
#ifndef QELLOG_BENCH_BENCH_UTIL_H
#define QELLOG_BENCH_BENCH_UTIL_H

#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "qellog/log.h"

namespace qbench {

// Every case writes this message with the worker's index, the iteration and
// a double.
#define QBENCH_FORMAT "worker %d iteration %d value %f"
constexpr double kValue = 3.25;

// The mask of the lines with every prefix field and the value field; a
// stand-in as long as those fields, for the floors; a flush count that
// never syncs.
constexpr unsigned kAllPrefix = LOGBIT_TIME | LOGBIT_DELTA | LOGBIT_PID_TID | LOGBIT_CPU | 3;
constexpr char kPrefixStandIn[] = "12:00:00.000 000000.001ms 12345:12345 01 00000000 ";
constexpr unsigned kNoPeriodicSync = 0xffffffffu;

// The floor: `prefix`, the message of worker `w`'s iteration `i` and CR LF,
// formatted through vsnprintf as qellog formats its text, and written with
// one write(2) to `fd` (an O_APPEND file); with `sync`, an fsync after
// every 1001 writes of the worker, qellog's default cadence. False when the
// write fell short.
bool floor_write(int fd, const char* prefix, int w, int i, bool sync);

// A fresh, empty directory for one run's files ($QELLOG_BENCH_DIR, default
// ./qellog-bench-out, on the disk the benchmark runs from).
std::string fresh_dir(const std::string& case_name);
void remove_dir(const std::string& dir);

// Counts the lines "<anything>worker <t> iteration <i> value 3.250000" in
// every file of `dir` and marks the run as failed (SkipWithError) when any
// of the `written` lines per worker is missing, repeated or torn.
void verify_lines(benchmark::State& state, const std::string& dir, int workers,
                  const long long* written);

// Per-run bookkeeping shared by the threads of one benchmark run.
struct RunCounts {
  long long lines[64] = {};
};

}  // namespace qbench

#endif  // QELLOG_BENCH_BENCH_UTIL_H
