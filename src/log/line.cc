#include "log/line.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/calendar.h"
#include "log/hot_path.h"
#include "log/line_text.h"
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

QELLOG_HOT size_t text_length(const char* text, size_t len) {
  const void* nul = std::memchr(text, '\0', len);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : len;
}

QELLOG_HOT size_t format_text(char* text, size_t cap, const char* fmt, va_list args,
                              size_t* wanted) {
  const int n = std::vsnprintf(text, cap, fmt != nullptr ? fmt : "", args);
  const size_t full = n > 0 ? static_cast<size_t>(n) : 0;
  const size_t len = text_length(text, std::min(full, cap - 1));
  if (wanted != nullptr) *wanted = len < std::min(full, cap - 1) ? len : full;
  return len;
}

QELLOG_HOT size_t compose_prefix(LineFields& f, char* buf, size_t cap) {
  if (f.time) local_calendar(f.now.tv_sec, &f.cal);
  return format_prefix(f, buf, cap);
}

QELLOG_HOT size_t compose_line(LineFields& f, const char* text, size_t text_len,
                               const LineShape& shape, char* line) {
  size_t len = compose_prefix(f, line, shape.limit);
  len += show_text(line + len, shape.limit - len, text, text_len, shape.lf_only);
  if (shape.line_end) {
    if (!shape.lf_only) line[len++] = '\r';
    line[len++] = '\n';
  }
  return len;
}

}  // namespace qellog
