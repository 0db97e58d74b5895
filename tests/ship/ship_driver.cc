// The writer of the shipping test: several threads write numbered lines
// through the process-wide API, paced to a total rate, then the log is
// closed. Every line is "<number> ship test line", the numbers running from
// 0 to threads * lines - 1, each written once.
//
// Usage: ship_driver NAME THREADS LINES_PER_THREAD LINES_PER_SECOND
// The log comes from $HOME/.config/qel/NAME_param.ini.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "qellog/api.h"

namespace {

using Clock = std::chrono::steady_clock;

// Lines written between two looks at the clock.
constexpr unsigned kPaceBatch = 16;

unsigned parse_count(const char* text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 100000000ul) {
    std::fprintf(stderr, "ship_driver: bad count '%s'\n", text);
    std::exit(2);
  }
  return static_cast<unsigned>(value);
}

// Writes the numbers first .. first + lines - 1, `per_second` a second.
void write_lines(unsigned first, unsigned lines, double per_second,
                 Clock::time_point start) {
  const std::chrono::duration<double> period(1.0 / per_second);
  for (unsigned i = 0; i < lines; ++i) {
    if (i % kPaceBatch == 0) {
      std::this_thread::sleep_until(
          start + std::chrono::duration_cast<Clock::duration>(period * i));
    }
    writelog(LOGBIT_INFO, nullptr, "%08u ship test line", first + i);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: ship_driver NAME THREADS LINES_PER_THREAD LINES_PER_SECOND\n");
    return 2;
  }
  const unsigned threads = parse_count(argv[2]);
  const unsigned lines = parse_count(argv[3]);
  const double per_thread = static_cast<double>(parse_count(argv[4])) / threads;

  init_logging(argv[1]);
  if (get_logparam_logbits() == 0) {
    std::fprintf(stderr, "ship_driver: no log for '%s'\n", argv[1]);
    return 1;
  }
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> writers;
  for (unsigned t = 0; t < threads; ++t) {
    writers.emplace_back(write_lines, t * lines, lines, per_thread, start);
  }
  for (auto& w : writers) w.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  exit_logging();
  std::printf("ship_driver: %u lines in %.2f s\n", threads * lines, seconds);
  return 0;
}
