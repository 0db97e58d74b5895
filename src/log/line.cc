#include "log/line.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/calendar.h"
#include "log/hot_path.h"
#include "log/process_ids.h"
#include "qellog/log.h"

namespace qellog {

QELLOG_HOT LineFields line_fields(unsigned bits, bool dated, bool error_tag, bool with_value,
                                  int value) {
  LineFields f;
  f.time = (bits & LOGBIT_TIME) != 0;
  f.dated = f.time && dated;
  f.delta = (bits & LOGBIT_DELTA) != 0;
  f.pid_tid = (bits & LOGBIT_PID_TID) != 0;
  f.cpu = (bits & LOGBIT_CPU) != 0;
  f.value = with_value;
  f.error_tag = error_tag;
  f.value_bits = static_cast<unsigned>(value);
  if (f.pid_tid) {
    f.pid = cached_pid();
    f.tid = cached_tid();
  }
  if (f.cpu) f.cpu_no = sched_getcpu();
  return f;
}

QELLOG_HOT size_t format_text(char (&text)[kLineCapacity], const char* fmt, va_list args) {
  const int n = std::vsnprintf(text, sizeof text, fmt != nullptr ? fmt : "", args);
  if (n <= 0) return 0;
  const size_t stored = std::min(static_cast<size_t>(n), sizeof text - 1);
  const void* nul = std::memchr(text, '\0', stored);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : stored;
}

QELLOG_HOT size_t compose_prefix(LineFields& f, char* buf, size_t cap) {
  if (f.time) local_calendar(f.now.tv_sec, &f.cal);
  return format_prefix(f, buf, cap);
}

QELLOG_HOT size_t compose_line(LineFields& f, const char* text, size_t text_len, bool crlf,
                               char (&line)[kLineCapacity]) {
  size_t len = compose_prefix(f, line, kLineTextMax);
  const size_t take = std::min(text_len, kLineTextMax - len);
  std::memcpy(line + len, text, take);
  len += take;
  if (crlf) {
    line[len++] = '\r';
    line[len++] = '\n';
  }
  return len;
}

}  // namespace qellog
