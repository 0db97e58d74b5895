// A message line's prefix fields, written into a caller's buffer, and the
// stopwatch's arithmetic. Pure: no clock, no I/O; the caller passes the
// clock readings and the calendar.
#ifndef QELLOG_SRC_LOG_LINE_FORMAT_H
#define QELLOG_SRC_LOG_LINE_FORMAT_H

#include <sys/time.h>
#include <time.h>

#include <cstddef>

namespace qellog {

// Line capacity: 297 characters, CR LF and the terminator.
constexpr size_t kLineCapacity = 300;
constexpr size_t kLineTextMax = kLineCapacity - 3;
// The longest a line may be made (Maxlinelength), in characters before its
// line end.
constexpr size_t kLineTextLimit = 65536;
// The prefix fields take at most this much: the dated time (30), the
// elapsed time (14), pid:tid (16), the processor (12), the value (9), the
// error tag (6) and a class name (16).
constexpr size_t kPrefixMax = 128;

struct LineFields {
  bool time = false;
  bool dated = false;  // the time field with date and UTC offset
  bool delta = false;
  bool pid_tid = false;
  bool cpu = false;
  bool value = false;
  bool error_tag = false;
  const char* class_name = nullptr;  // the class tag after the error tag
  timeval now{};
  timeval last{};
  struct tm cal {};  // the local calendar of `now`, read when `time` is set
  int pid = 0;
  int tid = 0;
  int cpu_no = 0;
  unsigned value_bits = 0;
};

// Writes the prefix fields (time, elapsed, pid:tid, cpu, value, error tag,
// class tag) in that order into `buf`, never more than `cap` characters, and returns
// their length. The time field is "HH:MM:SS.mmm " of `cal` and `now`'s
// milliseconds, or dated "YYYY-MM-DDTHH:MM:SS.mmm+hh:mm " (the calendar's
// offset, whole minutes).
size_t format_prefix(const LineFields& f, char* buf, size_t cap);

// The elapsed-time field's two numbers for the gap from `last` to `now`:
// milliseconds modulo 1,000,000 (computed in 64 bits, so gaps of 2^31 ms
// and more still wrap every 1000 s) and the microsecond rest.
void elapsed_parts(const timeval& now, const timeval& last, int* ms, int* us);

// The stopwatch's reading: the milliseconds from `start` to `stop`, with
// microsecond resolution ({1, 999999} to {3, 0}: 1000.001).
double stopwatch_ms(const timeval& start, const timeval& stop);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LINE_FORMAT_H
