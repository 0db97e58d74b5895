// A message line's prefix fields, written into a caller's buffer. No I/O;
// the time field reads the cached calendar, line_fields() the cached ids.
#ifndef QELLOG_SRC_LOG_LINE_FORMAT_H
#define QELLOG_SRC_LOG_LINE_FORMAT_H

#include <sys/time.h>

#include <cstddef>

namespace qellog {

// Line capacity: 297 characters, CR LF and the terminator.
constexpr size_t kLineCapacity = 300;
constexpr size_t kLineTextMax = kLineCapacity - 3;

struct LineFields {
  bool time = false;
  bool dated = false;  // the time field with date and UTC offset
  bool delta = false;
  bool pid_tid = false;
  bool cpu = false;
  bool value = false;
  bool error_tag = false;
  timeval now{};
  timeval last{};
  int pid = 0;
  int tid = 0;
  int cpu_no = 0;
  unsigned value_bits = 0;
};

// The fields a line of mask `bits` shows, with what does not depend on the
// line's clock reading filled in (pid, tid, processor, value). `dated`
// gives the time field its date and UTC offset.
LineFields line_fields(unsigned bits, bool dated, bool error_tag,
                       bool with_value, int value);

// Writes the prefix fields (time, elapsed, pid:tid, cpu, value, tag) in
// that order into `buf`, never more than `cap` characters, and returns
// their length. The time field is "HH:MM:SS.mmm ", or dated
// "YYYY-MM-DDTHH:MM:SS.mmm+hh:mm " (the local offset, whole minutes).
size_t format_prefix(const LineFields& f, char* buf, size_t cap);

// The elapsed-time field's two numbers for the gap from `last` to `now`:
// milliseconds modulo 1,000,000 (computed in 64 bits, so gaps of 2^31 ms
// and more still wrap every 1000 s) and the microsecond rest.
void elapsed_parts(const timeval& now, const timeval& last, int* ms, int* us);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LINE_FORMAT_H
