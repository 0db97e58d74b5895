#include "log/message.h"

#include <cstdio>

#include "log/append.h"
#include "log/calendar.h"
#include "log/file_format.h"
#include "log/hot_path.h"
#include "log/line.h"
#include "log/log_state.h"
#include "log/message_filter.h"
#include "log/sync.h"

namespace qellog {
namespace {

// Under the write lock: the clock reading, the line and its accounting.
// Returns the line's length; `a` stays uncounted while no file is open.
QELLOG_HOT size_t compose_locked(CQel_Log& log, LogState& s, LineFields& f, unsigned flags,
                                 const char* text, size_t text_len, bool may_claim,
                                 char (&line)[kLineCapacity], Append* a) {
  gettimeofday(&f.now, nullptr);
  store_time(log.cur_time, f.now);
  f.last = log.last_time;
  const size_t len = compose_line(f, text, text_len, (flags & LOGBIT_NOCRLF) == 0, line);
  if (log.hflog != -1) *a = reserve_locked(log, s, len, may_claim);
  store_time(log.last_time, f.now);
  return len;
}

}  // namespace

QELLOG_HOT bool write_message(CQel_Log& log, unsigned flags, unsigned bits, bool with_value,
                              int value, const char* fmt, va_list args, bool may_claim) {
  if (!makes_log_line(flags)) {
    std::fputc('\n', stdout);
    return false;
  }
  const unsigned effective = effective_flags(flags);
  // The text is formatted before the write lock is taken.
  char text[kLineCapacity];
  const size_t text_len = format_text(text, fmt, args);
  LogState& s = LogAccess::state(log);
  LineFields f = line_fields(bits, s.iso_time.load(std::memory_order_relaxed),
                             (effective & LOGBIT_ERROR) != 0, with_value, value);
  char line[kLineCapacity];
  Append a;
  size_t len;
  {
    LockGuard guard(s.write_lock);
    len = compose_locked(log, s, f, flags, text, text_len, may_claim, line, &a);
  }
  return a.counted && complete_append(log, s, a, line, len);
}

bool write_time_line(CQel_Log& log) {
  if (load(log.logbits) == 0 || load(log.hflog) == -1) return false;
  LogState& s = LogAccess::state(log);
  char line[kTimeLineCapacity];
  size_t n = 0;
  Append a;
  {
    LockGuard guard(s.write_lock);
    if (log.hflog == -1) return false;
    timeval now;
    gettimeofday(&now, nullptr);
    store_time(log.last_time, now);
    struct tm cal;
    local_calendar(now.tv_sec, &cal);
    n = format_time_line(line, sizeof line, cal, now.tv_usec / 1000);
    a = reserve_locked(log, s, n);
  }
  return complete_append(log, s, a, line, n);
}

bool append_piece(CQel_Log& log, const char* data, unsigned long len) {
  LogState& s = LogAccess::state(log);
  Append a;
  {
    LockGuard guard(s.write_lock);
    a = reserve_locked(log, s, len);
  }
  return complete_append(log, s, a, data, len);
}

void diagnostic(CQel_Log& log, const char* fmt, ...) {
  const unsigned bits = load(log.logbits);
  if (drops_message(log, LOGBIT_INTERNAL, bits)) return;
  va_list args;
  va_start(args, fmt);
  write_message(log, LOGBIT_INTERNAL, bits, false, 0, fmt, args, false);
  va_end(args);
}

}  // namespace qellog
