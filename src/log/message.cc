#include "log/message.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "log/append.h"
#include "log/calendar.h"
#include "log/file_format.h"
#include "log/hot_path.h"
#include "log/line.h"
#include "log/line_text.h"
#include "log/log_state.h"
#include "log/message_filter.h"
#include "log/sync.h"

namespace qellog {
namespace {

// What sets one message line apart from another of the same log.
struct Message {
  unsigned flags;
  unsigned bits;  // the mask it passed
  bool with_value;
  int value;
  bool may_claim;
};

// Under the write lock: the clock reading, the line and its accounting.
// Returns the line's length; `a` stays uncounted while no file is open.
QELLOG_HOT size_t compose_locked(CQel_Log& log, LogState& s, LineFields& f, const Message& m,
                                 const char* text, size_t text_len, const LineShape& shape,
                                 char* line, Append* a) {
  gettimeofday(&f.now, nullptr);
  store_time(log.cur_time, f.now);
  f.last = log.last_time;
  const size_t len = compose_line(f, text, text_len, shape, line);
  if (log.hflog != -1) *a = reserve_locked(log, s, len, m.may_claim);
  store_time(log.last_time, f.now);
  return len;
}

QELLOG_HOT bool write_into(CQel_Log& log, LogState& s, LineFields& f, const Message& m,
                           const char* text, size_t text_len, const LineShape& shape, char* line) {
  Append a;
  size_t len;
  {
    LockGuard guard(s.write_lock);
    len = compose_locked(log, s, f, m, text, text_len, shape, line, &a);
  }
  return a.counted && complete_append(log, s, a, line, len);
}

// One line of the text `text` (`text_len` bytes, no NUL) for a log whose
// lines may hold `limit` characters. A line that may outgrow the stack's
// line capacity is made on the heap; without memory for it, it is cut at
// that capacity.
QELLOG_HOT bool write_text_line(CQel_Log& log, LogState& s, const Message& m, const char* text,
                                size_t text_len, size_t limit) {
  const unsigned effective = effective_flags(m.flags);
  LineFields f = line_fields(m.bits, s.iso_time.load(std::memory_order_relaxed),
                             (effective & LOGBIT_ERROR) != 0, m.with_value, m.value);
  if (const ClassNames* names = s.class_names.load(std::memory_order_acquire)) {
    f.class_name = names->of(effective);
  }
  LineShape shape;
  shape.lf_only = s.lf_only.load(std::memory_order_relaxed);
  shape.line_end = (m.flags & LOGBIT_NOCRLF) == 0;
  // No line is longer than its prefix and its text shown.
  const size_t most = kPrefixMax + shown_bound(text, text_len, shape.lf_only);
  if (limit > kLineTextMax && most > kLineTextMax) {
    shape.limit = std::min(limit, most);
    std::unique_ptr<char[]> line(new (std::nothrow) char[shape.limit + 2]);
    if (line != nullptr) return write_into(log, s, f, m, text, text_len, shape, line.get());
    shape.limit = kLineTextMax;
  }
  char line[kLineCapacity];
  return write_into(log, s, f, m, text, text_len, shape, line);
}

// A message longer than the stack's text buffer, for a log whose lines may
// hold `limit` characters: formatted again, from `args`, on the heap, as
// far as the limit can show of it.
bool write_long_message(CQel_Log& log, LogState& s, const Message& m, const char* fmt, va_list args,
                        size_t wanted, size_t limit, const char* cut, size_t cut_len) {
  // A few bytes past the limit tell whether the cut falls inside a UTF-8
  // sequence.
  const size_t cap = std::min(wanted, limit + 4) + 1;
  std::unique_ptr<char[]> text(new (std::nothrow) char[cap]);
  if (text == nullptr) return write_text_line(log, s, m, cut, cut_len, limit);
  const size_t len = format_text(text.get(), cap, fmt, args);
  return write_text_line(log, s, m, text.get(), len, limit);
}

}  // namespace

QELLOG_HOT bool write_message(CQel_Log& log, unsigned flags, unsigned bits, bool with_value,
                              int value, const char* fmt, va_list args, bool may_claim) {
  if (!makes_log_line(flags)) {
    std::fputc('\n', stdout);
    return false;
  }
  LogState& s = LogAccess::state(log);
  const Message m{flags, bits, with_value, value, may_claim};
  const size_t limit = s.line_limit.load(std::memory_order_relaxed);
  // The text is formatted before the write lock is taken.
  char text[kLineCapacity];
  if (limit <= kLineTextMax) {
    return write_text_line(log, s, m, text, format_text(text, sizeof text, fmt, args), limit);
  }
  // A longer line may be asked for: the arguments may be needed twice.
  va_list again;
  va_copy(again, args);
  size_t wanted = 0;
  const size_t len = format_text(text, sizeof text, fmt, args, &wanted);
  const bool claimed = wanted > len
                           ? write_long_message(log, s, m, fmt, again, wanted, limit, text, len)
                           : write_text_line(log, s, m, text, len, limit);
  va_end(again);
  return claimed;
}

QELLOG_HOT bool write_ready_text(CQel_Log& log, unsigned flags, unsigned bits, const char* text,
                                 size_t len) {
  if (!makes_log_line(flags)) {
    std::fputc('\n', stdout);
    return false;
  }
  LogState& s = LogAccess::state(log);
  const Message m{flags, bits, false, 0, true};
  const size_t limit = s.line_limit.load(std::memory_order_relaxed);
  return write_text_line(log, s, m, text != nullptr ? text : "",
                         text != nullptr ? text_length(text, len) : 0, limit);
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
    n = format_time_line(line, sizeof line, cal, now.tv_usec / 1000,
                         s.lf_only.load(std::memory_order_relaxed));
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
