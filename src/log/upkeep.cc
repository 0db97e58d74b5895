#include "log/upkeep.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "log/append.h"
#include "log/calendar.h"
#include "log/message.h"
#include "log/own_file.h"
#include "log/reopen.h"
#include "log/retention.h"
#include "log/rotation.h"
#include "log/sync.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

constexpr char kRetention[] = "remove_rotated_files";
// Timed wake-ups come at least this often while anything timed is set, so
// that a reopen request from a signal handler (a flag only) and a moved
// test clock are seen within about a second.
constexpr long kPollMs = 1000;
// A wake-up for a time boundary comes this much after it, so that the
// whole-second clock has reached it.
constexpr long kBoundaryMarginMs = 5;

class DiagnosticReport : public RetentionReport {
 public:
  explicit DiagnosticReport(CQel_Log& log) : log_(log) {}
  void removed(const char* name) override { diagnostic(log_, "%s: removed %s", kRetention, name); }
  void failed(const char* name, int err) override {
    diagnostic(log_, "%s: remove %s failed %d", kRetention, name, err);
  }

 private:
  CQel_Log& log_;
};

// The first local midnight or top of the hour after `t`.
time_t boundary_after(time_t t, unsigned period) {
  struct tm cal;
  localtime_r(&t, &cal);
  cal.tm_min = 0;
  cal.tm_sec = 0;
  if (period == ROTATETIME_DAILY) {
    cal.tm_hour = 0;
    cal.tm_mday += 1;
  } else {
    cal.tm_hour += 1;
  }
  cal.tm_isdst = -1;
  return local_mktime(&cal);
}

bool rotates_by_time(const LogState& s) {
  const unsigned period = s.rotate_time.load(std::memory_order_relaxed);
  return period == ROTATETIME_HOURLY || period == ROTATETIME_DAILY;
}

// Under the write lock, at the wall clock reading `now`: the first
// boundary after the current file began. It is computed once per file,
// and again after the clock stepped backwards. A file never began later
// than now: one that seems to have begun ahead of the clock (a clock that
// ran ahead and was put right) counts from now.
time_t next_boundary_locked(LogState& s, time_t now) {
  if (now < s.clock_seen) s.next_boundary = 0;
  s.clock_seen = now;
  if (s.file_started > now) s.file_started = now;
  if (s.next_boundary == 0) {
    s.next_boundary = boundary_after(s.file_started, s.rotate_time.load(std::memory_order_relaxed));
  }
  return s.next_boundary;
}

// True when a time boundary has passed since the current file began and
// the file holds more than its header.
bool time_rotation_due(CQel_Log& log, LogState& s, time_t now) {
  if (!rotates_by_time(s)) return false;
  LockGuard guard(s.write_lock);
  const unsigned long held = log.curfilesize + s.prior_bytes.load(std::memory_order_relaxed);
  return now >= next_boundary_locked(s, now) && held > s.header_bytes;
}

// Milliseconds until the next time boundary, when it comes before the
// next poll: the thread then wakes at the boundary itself, so that a host
// that lives a few seconds still rotates across it. -1 otherwise.
long ms_until_boundary(LogState& s) {
  if (!rotates_by_time(s)) return -1;
  const time_t now = sys.wall_clock();
  time_t boundary;
  {
    LockGuard guard(s.write_lock);
    boundary = next_boundary_locked(s, now);
  }
  if (boundary <= now || boundary - now > kPollMs / 1000) return -1;
  // The wall clock has whole seconds; the part of this one already gone
  // comes from gettimeofday. A wake-up a little early only waits again.
  timeval t;
  gettimeofday(&t, nullptr);
  const long ms = static_cast<long>(boundary - now) * 1000 - t.tv_usec / 1000 + kBoundaryMarginMs;
  return std::min(std::max(ms, kBoundaryMarginMs), kPollMs);
}

// rotation_is_off() under the rotation lock, which a move of the log to
// another file holds while it changes what the log writes to.
bool rotation_off(CQel_Log& log) {
  std::lock_guard<std::mutex> rotation(LogAccess::state(log).rotate_mutex);
  return rotation_is_off(log);
}

void reopen_if_due(CQel_Log& log, LogState& s, bool request) {
  if (!s.reopen.load(std::memory_order_relaxed)) return;
  const unsigned interval = s.reopen_interval.load(std::memory_order_relaxed);
  const time_t now = sys.wall_clock();
  const bool asked = s.reopen_requested.exchange(false);
  if (!request && !asked && (interval == 0 || now < s.next_reopen_check)) return;
  s.next_reopen_check = now + interval;
  check_reopen(log);
}

}  // namespace

long upkeep_wait_ms(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  // With the record on, the thread looks for a pending one every poll, so
  // that a loss is recorded even when the host writes no further line.
  const bool timed = s.lost_lines_record.load(std::memory_order_relaxed) ||
                     s.reopen.load(std::memory_order_relaxed) ||
                     s.rotate_time.load(std::memory_order_relaxed) != 0;
  if (!timed) return -1;
  const long until = ms_until_boundary(s);
  return until >= 0 ? until : kPollMs;
}

void at_first_turn(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  // The loop serves the strict size limit's request before it first waits.
  ask_rotation_if_over_limit(log, s);
  if (time_rotation_due(log, s, sys.wall_clock()) && !rotation_off(log) && rotate(log)) {
    after_rotation(log);
  }
}

void on_timed_wakeup(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  write_pending_record(log);
  reopen_if_due(log, s, false);
  if (time_rotation_due(log, s, sys.wall_clock()) && rotate(log)) {
    after_rotation(log);
  }
}

bool rotation_due(CQel_Log& log) {
  const bool due =
      size_limit_reached(log) || time_rotation_due(log, LogAccess::state(log), sys.wall_clock());
  return due && !rotation_off(log);
}

void before_request(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  write_pending_record(log);
  reopen_if_due(log, s, true);
  if (s.strict_size.load(std::memory_order_relaxed)) follow_other_rotation(log);
}

void after_rotation(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  const RetentionLimits limits{s.max_file_count.load(std::memory_order_relaxed),
                               s.max_total_size.load(std::memory_order_relaxed),
                               s.max_file_age.load(std::memory_order_relaxed),
                               s.ship_lag.load(std::memory_order_relaxed)};
  if (!limits.any()) return;
  int dir;
  int err;
  char leaf[sizeof s.leaf];
  {
    // The directory and the name as they are now: a move of the log
    // changes them under this lock.
    std::lock_guard<std::mutex> rotation(s.rotate_mutex);
    dir = sys.openat(s.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    err = errno;
    std::memcpy(leaf, s.leaf, sizeof leaf);
    if (s.retention_place != s.place_generation) {
      s.retention = RetentionMemory();
      s.retention_place = s.place_generation;
    }
    s.retention.made_here = s.rotated_here;
  }
  DiagnosticReport report(log);
  if (dir == -1) {
    report.failed(".", err);
    return;
  }
  prune_rotated_files(dir, leaf, limits, sys.wall_clock(), report, &s.retention);
  sys.close(dir);
}

}  // namespace qellog
