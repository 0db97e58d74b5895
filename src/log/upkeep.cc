#include "log/upkeep.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "log/append.h"
#include "log/calendar.h"
#include "log/message.h"
#include "log/own_file.h"
#include "log/reopen.h"
#include "log/retention.h"
#include "log/rotation.h"
#include "log/sync.h"

namespace qellog {
namespace {

constexpr char kRetention[] = "remove_rotated_files";
// Timed wake-ups come at least this often while anything timed is set, so
// that a reopen request from a signal handler (a flag only) and a moved
// test clock are seen within about a second.
constexpr long kPollMs = 1000;

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
  return mktime(&cal);
}

// True when a time boundary has passed since the current file began and
// the file holds more than its header.
bool time_rotation_due(CQel_Log& log, LogState& s, time_t now) {
  const unsigned period = s.rotate_time.load(std::memory_order_relaxed);
  if (period != ROTATETIME_HOURLY && period != ROTATETIME_DAILY) return false;
  LockGuard guard(s.write_lock);
  if (s.next_boundary == 0) s.next_boundary = boundary_after(s.file_started, period);
  const unsigned long held = log.curfilesize + s.prior_bytes.load(std::memory_order_relaxed);
  return now >= s.next_boundary && held > s.header_bytes;
}

void reopen_if_due(CQel_Log& log, LogState& s, bool request) {
  if (!s.reopen.load(std::memory_order_relaxed)) return;
  const unsigned interval = s.reopen_interval.load(std::memory_order_relaxed);
  const time_t now = time(nullptr);
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
  return timed ? kPollMs : -1;
}

void at_first_turn(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  // The loop serves the strict size limit's request before it first waits.
  ask_rotation_if_over_limit(log, s);
}

void on_timed_wakeup(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  write_pending_record(log);
  reopen_if_due(log, s, false);
  if (time_rotation_due(log, s, g_wall_clock()) && rotate(log)) {
    after_rotation(log);
  }
}

bool rotation_due(CQel_Log& log) {
  const bool due =
      size_limit_reached(log) || time_rotation_due(log, LogAccess::state(log), g_wall_clock());
  return due && !rotation_is_off(log);
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
                               s.max_file_age.load(std::memory_order_relaxed)};
  if (!limits.any()) return;
  const int dir = openat(s.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DiagnosticReport report(log);
  if (dir == -1) {
    report.failed(".", errno);
    return;
  }
  {
    std::lock_guard<std::mutex> rotation(s.rotate_mutex);
    s.retention.made_here = s.rotated_here;
  }
  prune_rotated_files(dir, s.leaf, limits, time(nullptr), report, &s.retention);
  close(dir);
}

}  // namespace qellog
