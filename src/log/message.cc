// Message lines and time-stamp lines.
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/file_format.h"
#include "log/internal.h"
#include "qellog/log.h"

using qellog::LockGuard;
using qellog::kLineCapacity;
using qellog::kLineTextMax;
using qellog::load;

void CQel_Log::write_line(unsigned flags, bool with_value, int value,
                          const char* fmt, va_list args) {
  if (flags == LOGBIT_NEWLINE) {
    std::fputc('\n', stdout);
    return;
  }
  const unsigned effective = flags != 0 ? flags : LOGBIT_ERROR;
  const unsigned bits = load(logbits);
  if ((effective & bits) == 0) {
    // A dropped message costs the clock reading and nothing else.
    timeval now;
    gettimeofday(&now, nullptr);
    qellog::store_time(cur_time, now);
    return;
  }

  // The message text and the per-thread fields are built before the lock is
  // taken; only what orders lines (the clock, the elapsed time, the write)
  // runs under it.
  char text[kLineCapacity];
  int text_len = std::vsnprintf(text, sizeof text, fmt != nullptr ? fmt : "", args);
  if (text_len < 0) text_len = 0;

  qellog::LineFields f;
  f.time = (bits & LOGBIT_TIME) != 0;
  f.delta = (bits & LOGBIT_DELTA) != 0;
  f.pid_tid = (bits & LOGBIT_PID_TID) != 0;
  f.cpu = (bits & LOGBIT_CPU) != 0;
  f.value = with_value;
  f.error_tag = (effective & LOGBIT_ERROR) != 0;
  f.value_bits = static_cast<unsigned>(value);
  if (f.pid_tid) {
    f.pid = qellog::cached_pid();
    f.tid = qellog::cached_tid();
  }
  if (f.cpu) f.cpu_no = sched_getcpu();

  char line[kLineCapacity];
  size_t len = 0;
  Append a{-1, 0, false, false};
  bool to_write = false;
  {
    LockGuard guard(write_lock_);
    gettimeofday(&f.now, nullptr);
    qellog::store_time(cur_time, f.now);
    f.last = last_time;
    len = qellog::format_prefix(f, line, kLineTextMax);
    // Over-long text is cut to the line capacity; the line still gets its
    // CR LF, so the next line starts clean.
    const size_t room = kLineTextMax - len;
    const size_t take = std::min(static_cast<size_t>(text_len), room);
    std::memcpy(line + len, text, take);
    len += take;
    if (hflog != -1) {
      if ((flags & LOGBIT_NOCRLF) == 0) {
        line[len++] = '\r';
        line[len++] = '\n';
      }
      a = reserve_locked(len);
      to_write = true;
    }
    qellog::store_time(last_time, f.now);
  }
  if (to_write && complete(a, line, len)) raise_flush();
}

void CQel_Log::writelog(unsigned flags, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  write_line(flags, false, 0, fmt, args);
  va_end(args);
}

void CQel_Log::writelog(unsigned flags, const char* fmt, va_list args) {
  write_line(flags, false, 0, fmt, args);
}

void CQel_Log::writelog(unsigned flags, int value, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  write_line(flags, true, value, fmt, args);
  va_end(args);
}

void CQel_Log::writelog(unsigned flags, int value, const char* fmt,
                        va_list args) {
  write_line(flags, true, value, fmt, args);
}

void CQel_Log::writetime() {
  if (load(logbits) == 0 || load(hflog) == -1) return;
  char line[qellog::kTimeLineCapacity];
  size_t n = 0;
  Append a;
  {
    LockGuard guard(write_lock_);
    if (hflog == -1) return;
    timeval now;
    gettimeofday(&now, nullptr);
    qellog::store_time(last_time, now);
    struct tm cal;
    qellog::local_calendar(now.tv_sec, &cal);
    n = qellog::format_time_line(line, sizeof line, cal, now.tv_usec / 1000);
    a = reserve_locked(n);
  }
  if (complete(a, line, n)) raise_flush();
}
