#include "log/lost_lines.h"

#include <algorithm>
#include <cstdio>

#include "log/calendar.h"
#include "log/line.h"
#include "log/sync.h"
#include "log/sys_calls.h"

namespace qellog {

void note_lost_locked(LogState& s, int err) {
  s.lost_count.fetch_add(1, std::memory_order_relaxed);
  // Another writer's piece may be cut short too and not noted yet: the
  // next pieces go one at a time until one lands whole, a second at least.
  s.careful.store(true, std::memory_order_relaxed);
  s.careful_until = sys.wall_clock() + kCarefulSeconds;
  if (!s.lost_lines_record.load(std::memory_order_relaxed)) return;
  if (s.pending_lost == 0) gettimeofday(&s.first_lost, nullptr);
  ++s.pending_lost;
  s.last_error = err;
  s.record_pending.store(true, std::memory_order_relaxed);
}

size_t format_record(CQel_Log& log, LogState& s, char* buf, size_t cap) {
  LineFields f =
      line_fields(log.logbits, s.iso_time.load(std::memory_order_relaxed), true, false, 0);
  gettimeofday(&f.now, nullptr);
  f.last = log.last_time;
  const size_t text_max = std::min(kLineTextMax, cap - 3);
  size_t len = compose_prefix(f, buf, text_max);
  struct tm cal;
  local_calendar(s.first_lost.tv_sec, &cal);
  const int t = std::snprintf(
      buf + len, text_max - len + 1,
      "write_to_file: %lu lines lost since %02d.%02d.%04d %02d:%02d:%02d.%03d, "
      "last error %d",
      s.pending_lost, cal.tm_mday, cal.tm_mon + 1, cal.tm_year + 1900, cal.tm_hour, cal.tm_min,
      cal.tm_sec, static_cast<int>(s.first_lost.tv_usec / 1000), s.last_error);
  len += std::min(static_cast<size_t>(t > 0 ? t : 0), text_max - len);
  if (!s.lf_only.load(std::memory_order_relaxed)) buf[len++] = '\r';
  buf[len++] = '\n';
  return len;
}

size_t take_record_locked(CQel_Log& log, LogState& s, bool current, char* rec, TakenRecord* taken) {
  if (s.pending_lost == 0) return 0;
  const size_t n = format_record(log, s, rec, kRecordCapacity);
  *taken = TakenRecord{s.pending_lost, s.first_lost, s.last_error};
  s.pending_lost = 0;
  s.record_pending.store(false, std::memory_order_relaxed);
  if (current) store(log.curfilesize, log.curfilesize + n);
  return n;
}

void put_back_record_locked(CQel_Log& log, LogState& s, bool current, size_t n,
                            const TakenRecord& taken) {
  if (current) store(log.curfilesize, log.curfilesize - n);
  // Losses noted meanwhile came later: the count adds up, the first loss
  // is the taken one's, the last error stays the newer.
  if (s.pending_lost == 0) s.last_error = taken.error;
  s.first_lost = taken.first;
  s.pending_lost += taken.count;
  s.record_pending.store(true, std::memory_order_relaxed);
}

}  // namespace qellog
