// Message lines and time-stamp lines.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/append.h"
#include "log/file_format.h"
#include "log/flush.h"
#include "log/line_format.h"
#include "log/log_state.h"
#include "log/process_ids.h"
#include "log/sync.h"

namespace qellog {
namespace {

// The message text, formatted before the write lock is taken. A line is
// text: it ends at the first NUL that the format produced.
size_t format_text(char (&text)[kLineCapacity], const char* fmt,
                   va_list args) {
  const int n = std::vsnprintf(text, sizeof text, fmt != nullptr ? fmt : "", args);
  if (n <= 0) return 0;
  const size_t stored = std::min(static_cast<size_t>(n), sizeof text - 1);
  const void* nul = std::memchr(text, '\0', stored);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                        : stored;
}

// Under the write lock: the clock reading, the prefix, the text cut to the
// line capacity (a cut line still gets its CR LF, so the next line starts
// clean) and the accounting. Returns the line's length; `a` stays
// uncounted while no file is open.
size_t compose_locked(CQel_Log& log, LogState& s, LineFields& f,
                      unsigned flags, const char* text, size_t text_len,
                      char (&line)[kLineCapacity], Append* a) {
  gettimeofday(&f.now, nullptr);
  store_time(log.cur_time, f.now);
  f.last = log.last_time;
  size_t len = format_prefix(f, line, kLineTextMax);
  const size_t take = std::min(text_len, kLineTextMax - len);
  std::memcpy(line + len, text, take);
  len += take;
  if (log.hflog != -1) {
    if ((flags & LOGBIT_NOCRLF) == 0) {
      line[len++] = '\r';
      line[len++] = '\n';
    }
    *a = reserve_locked(log, s, len);
  }
  store_time(log.last_time, f.now);
  return len;
}

void write_line(CQel_Log& log, unsigned flags, bool with_value, int value,
                const char* fmt, va_list args) {
  if (flags == LOGBIT_NEWLINE) {
    std::fputc('\n', stdout);
    return;
  }
  const unsigned effective = flags != 0 ? flags : LOGBIT_ERROR;
  const unsigned bits = load(log.logbits);
  if ((effective & bits) == 0) {
    // A dropped message costs the clock reading and nothing else.
    timeval now;
    gettimeofday(&now, nullptr);
    store_time(log.cur_time, now);
    return;
  }
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
    len = compose_locked(log, s, f, flags, text, text_len, line, &a);
  }
  if (a.counted && complete_append(log, s, a, line, len)) raise_flush(log);
}

}  // namespace
}  // namespace qellog

void CQel_Log::writelog(unsigned flags, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  qellog::write_line(*this, flags, false, 0, fmt, args);
  va_end(args);
}

void CQel_Log::writelog(unsigned flags, const char* fmt, va_list args) {
  qellog::write_line(*this, flags, false, 0, fmt, args);
}

void CQel_Log::writelog(unsigned flags, int value, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  qellog::write_line(*this, flags, true, value, fmt, args);
  va_end(args);
}

void CQel_Log::writelog(unsigned flags, int value, const char* fmt,
                        va_list args) {
  qellog::write_line(*this, flags, true, value, fmt, args);
}

void CQel_Log::writetime() {
  using namespace qellog;
  if (load(logbits) == 0 || load(hflog) == -1) return;
  LogState& s = LogAccess::state(*this);
  char line[kTimeLineCapacity];
  size_t n = 0;
  Append a;
  {
    LockGuard guard(s.write_lock);
    if (hflog == -1) return;
    timeval now;
    gettimeofday(&now, nullptr);
    store_time(last_time, now);
    struct tm cal;
    local_calendar(now.tv_sec, &cal);
    n = format_time_line(line, sizeof line, cal, now.tv_usec / 1000);
    a = reserve_locked(*this, s, n);
  }
  if (complete_append(*this, s, a, line, n)) raise_flush(*this);
}
