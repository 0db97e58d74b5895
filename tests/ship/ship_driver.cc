// The writer of the shipping test. Every line is "<number> ship test line",
// the numbers running from 0 up, each written once, paced to a total rate;
// then the log is closed.
//
//   ship_driver NAME THREADS LINES_PER_THREAD LINES_PER_SECOND
//     THREADS threads write through the process-wide API; the log comes from
//     $HOME/.config/qel/NAME_param.ini.
//   ship_driver --inline-rotation FILE LINES LINES_PER_SECOND MAX_BYTES
//     One thread writes to a CQel_Log on FILE without a flush thread and
//     rotates it itself once it holds MAX_BYTES, between two lines: no line
//     can reach the old file after its rename.
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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

// Calls write(i) for i = 0 .. lines - 1, `per_second` calls a second from
// `start` on.
template <typename Write>
void paced(unsigned lines, double per_second, Clock::time_point start, Write write) {
  const std::chrono::duration<double> period(1.0 / per_second);
  for (unsigned i = 0; i < lines; ++i) {
    if (i % kPaceBatch == 0) {
      std::this_thread::sleep_until(
          start + std::chrono::duration_cast<Clock::duration>(period * i));
    }
    write(i);
  }
}

// Writes the numbers first .. first + lines - 1 through the process log.
void write_lines(unsigned first, unsigned lines, double per_second,
                 Clock::time_point start) {
  paced(lines, per_second, start, [first](unsigned i) {
    writelog(LOGBIT_INFO, nullptr, "%08u ship test line", first + i);
  });
}

int write_rotating_inline(const char* path, unsigned lines, double per_second,
                          unsigned long max_bytes) {
  CQel_Log* log = new CQel_Log(path, O_WRONLY | O_CREAT, 0644);
  if (log->get_filehandle() == -1) {
    std::fprintf(stderr, "ship_driver: cannot open %s\n", path);
    delete log;
    return 1;
  }
  paced(lines, per_second, Clock::now(), [log, max_bytes](unsigned i) {
    log->writelog(LOGBIT_INFO, 0, "%08u ship test line", i);
    if (log->get_curfilesize() >= max_bytes) log->create_next_file();
  });
  delete log;
  std::printf("ship_driver: %u lines, rotated inline\n", lines);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--inline-rotation") {
    return write_rotating_inline(argv[2], parse_count(argv[3]), parse_count(argv[4]),
                                 parse_count(argv[5]));
  }
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: ship_driver NAME THREADS LINES_PER_THREAD LINES_PER_SECOND\n"
                 "       ship_driver --inline-rotation FILE LINES LINES_PER_SECOND MAX_BYTES\n");
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
