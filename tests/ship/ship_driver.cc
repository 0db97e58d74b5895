// The writer of the shipping test. Line n says who it is and how it was
// written, so that a reader of the log file can take the line apart:
//   "ship <n> f<prefix bits> v<value field 0|1> e<error tag 0|1><payload>"
// The prefix bits are the mask's LOGBIT_TIME .. LOGBIT_CPU shifted down by
// 12; the mask runs through all 16 combinations, one phase each (twice
// inline: with the time of day, then with the dated time), and the payloads
// are texts a parser could trip over. The numbers run from 0 up,
// each written once, paced to a total rate; then the log is closed.
//
//   ship_driver NAME THREADS LINES_PER_THREAD LINES_PER_SECOND
//     THREADS threads write through the process-wide API (always with the
//     value field); the log comes from $HOME/.config/qel/NAME_param.ini
//     (which chooses the form of the time field).
//   ship_driver --inline-rotation FILE LINES LINES_PER_SECOND MAX_BYTES
//     One thread writes to a CQel_Log on FILE without a flush thread, with
//     and without the value field and with a time-stamp line now and then,
//     and rotates the log itself once it holds MAX_BYTES, between two
//     lines: no line can reach the old file after its rename.
#include <fcntl.h>

#include <chrono>
#include <cstdint>
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
constexpr unsigned kPhases = 16;
constexpr char kFormat[] = "ship %u f%x v%d e%d%s";

const char* const kPayloads[] = {
    "",
    " \"quoted\" \\back\\slash\\",
    " 17:14:07.427 000012.345ms 01234:01240 03 0000abcd ERROR fake prefix",
    " cr\rinside",
    " lf\ninside",
    " tab\tesc\x1b"
    "del\x7f"
    "bell\x07",
    " utf-8 \xc3\xa9\xe2\x82\xac",
    " invalid \xff\xfe bytes",
    " Logfile: /x Version: 1 created 2",
    " ends in cr\r",
    " ends in lf\n",
};
constexpr unsigned kPayloadCount = sizeof kPayloads / sizeof kPayloads[0];

const char* payload(unsigned n) { return kPayloads[n % kPayloadCount]; }

// Info, error, the flag word 0 (which counts as error) and both classes.
unsigned line_flags(unsigned n) {
  static const unsigned kFlags[] = {LOGBIT_INFO, LOGBIT_ERROR, 0, LOGBIT_ERROR | LOGBIT_INFO};
  return kFlags[n % 4];
}
int error_tag(unsigned n) { return line_flags(n) == LOGBIT_INFO ? 0 : 1; }

unsigned phase_mask(unsigned phase) { return LOGBIT_ERROR | LOGBIT_INFO | (phase << 12); }

// Decimal-only values (0, 0x12345678) as well as hex letters.
int line_value(unsigned n) {
  return static_cast<int>(n % 5 == 0 ? 0u : n % 5 == 1 ? 0x12345678u : n * 2654435761u);
}

// Lines [lines * phase / phases, lines * (phase + 1) / phases).
unsigned phase_begin(unsigned lines, unsigned phase, unsigned phases = kPhases) {
  return static_cast<unsigned>(uint64_t{lines} * phase / phases);
}

unsigned parse_count(const char* text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 100000000ul) {
    std::fprintf(stderr, "ship_driver: bad count '%s'\n", text);
    std::exit(2);
  }
  return static_cast<unsigned>(value);
}

// Calls write(i) for i = first .. last - 1, `per_second` calls a second
// from `start` on.
template <typename Write>
void paced(unsigned first, unsigned last, double per_second, Clock::time_point start, Write write) {
  const std::chrono::duration<double> period(1.0 / per_second);
  for (unsigned i = first; i < last; ++i) {
    if (i % kPaceBatch == 0) {
      std::this_thread::sleep_until(start +
                                    std::chrono::duration_cast<Clock::duration>(period * i));
    }
    write(i);
  }
}

// Thread t writes the numbers t * lines + i of one phase through the
// process log.
void write_lines(unsigned t, unsigned lines, unsigned phase, double per_second,
                 Clock::time_point start) {
  paced(phase_begin(lines, phase), phase_begin(lines, phase + 1), per_second, start,
        [t, lines, phase](unsigned i) {
          const unsigned n = t * lines + i;
          writelog(
              line_flags(n),
              reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(line_value(n)))),
              kFormat, n, phase, 1, error_tag(n), payload(n));
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
  log->set_lib_desc("the shipping test's writer");
  log->set_lib_vers("ship_driver", "1.0", "today");
  const Clock::time_point start = Clock::now();
  for (unsigned p = 0; p < 2 * kPhases; ++p) {
    const unsigned phase = p % kPhases;
    log->set_logbits(phase_mask(phase));
    log->set_isotime(p >= kPhases);
    paced(phase_begin(lines, p, 2 * kPhases), phase_begin(lines, p + 1, 2 * kPhases), per_second,
          start, [log, max_bytes, phase](unsigned n) {
            if (n % 2 == 0) {
              log->writelog(line_flags(n), line_value(n), kFormat, n, phase, 1, error_tag(n),
                            payload(n));
            } else {
              log->writelog(line_flags(n), kFormat, n, phase, 0, error_tag(n), payload(n));
            }
            if (n % 1000 == 999) log->writetime();
            if (log->get_curfilesize() >= max_bytes) log->create_next_file();
          });
  }
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

  set_logversions("ship_driver", "1.0", "the shipping test's writer", "today");
  init_logging(argv[1]);
  if (get_logparam_logbits() == 0) {
    std::fprintf(stderr, "ship_driver: no log for '%s'\n", argv[1]);
    return 1;
  }
  const Clock::time_point start = Clock::now();
  for (unsigned phase = 0; phase < kPhases; ++phase) {
    set_logparam_logbits(phase_mask(phase));  // no thread writes meanwhile
    std::vector<std::thread> writers;
    for (unsigned t = 0; t < threads; ++t) {
      writers.emplace_back(write_lines, t, lines, phase, per_thread, start);
    }
    for (auto& w : writers) w.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  exit_logging();
  std::printf("ship_driver: %u lines in %.2f s\n", threads * lines, seconds);
  return 0;
}
