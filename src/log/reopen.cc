#include "log/reopen.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/calendar.h"
#include "log/log_path.h"
#include "log/message.h"
#include "log/own_file.h"
#include "log/rotation.h"
#include "log/sync.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

constexpr char kReopen[] = "reopen_file";
constexpr char kFollow[] = "follow_rotation";

// The file under the live name, or a new one there. -1 when there is none
// to take yet (a missing name is created only at the second check in a
// row, and only for a log set up with O_CREAT).
int open_under_name(LogState& s, bool name_exists, bool* created, unsigned long* prior) {
  if (!name_exists && ((s.open_flags & O_CREAT) == 0 || ++s.name_missing < 2)) {
    errno = 0;
    return -1;
  }
  return open_fresh_file(s, created, prior);
}

// Begins `fd` with its continuation header and installs it as the current
// file; `fn` says so.
bool begin_and_install(CQel_Log& log, LogState& s, int fd, bool created, unsigned long prior,
                       const char* fn = kReopen) {
  timeval now;
  gettimeofday(&now, nullptr);
  struct tm cal;
  local_calendar(now.tv_sec, &cal);
  size_t n = 0;
  if (!begin_file(log, s, fd, cal, created ? s.leaf : nullptr, &n)) {
    diagnostic(log, "%s: header to %s failed %d", kReopen, log.filename, errno);
    return false;
  }
  unsigned long long wrote = 0;
  const int previous = install_file(log, s, fd, n, prior, &wrote);
  sys.close(previous);
  if (s.off_name) remember_rotated(s, s.off_leaf, wrote);
  s.off_name = false;
  s.name_missing = 0;
  s.last_seen_size = prior + n;
  diagnostic(log, "%s: %s reopened, hflog %d, previous %d closed", fn, log.filename, fd, previous);
  return true;
}

// The file was truncated in place (copytruncate): the count starts over
// from what it holds now.
void restart_count(CQel_Log& log, LogState& s, unsigned long size) {
  {
    LockGuard guard(s.write_lock);
    store(log.curfilesize, 0ul);
    s.prior_bytes.store(size, std::memory_order_relaxed);
    s.limit_asked = false;
    s.next_size_look = 0;
  }
  diagnostic(log, "%s: %s was truncated to %lu bytes", kReopen, log.filename, size);
}

// A failed open of the file under the live name, errno set: a refusal of
// the own-file rule is said once per file, another failure each time.
void report_failed_open(CQel_Log& log, const char* fn) {
  if (errno == EPERM || errno == EINVAL) {
    refuse_once(log, errno == EPERM ? kRefusedForeign : kRefusedNotRegular, fn);
  } else if (errno != 0) {
    diagnostic(log, "%s: open %s failed %d", fn, log.filename, errno);
  }
}

}  // namespace

void check_reopen(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  std::lock_guard<std::mutex> rotation(s.rotate_mutex);
  const int fd = load(log.hflog);
  struct stat open_st;
  if (fd == -1 || rotation_is_off(log) || sys.fstat(fd, &open_st) != 0) return;
  const LiveName name = look_at_live_name(s, fd);
  if (name == LiveName::kOpenFile) {
    s.name_missing = 0;
    const unsigned long size = static_cast<unsigned long>(open_st.st_size);
    if (size < s.last_seen_size) restart_count(log, s, size);
    s.last_seen_size = size;
    return;
  }
  if (name != LiveName::kMissing && name != LiveName::kOwn) {
    // Another user's file or something not a file under the name: the log
    // keeps writing where it is, unless that is a deleted file, which
    // nobody would ever see: then in a file of a rotated name.
    if (name == LiveName::kUnknown) return;
    if (!s.off_name) live_name_may_change(log, kReopen);
    if (open_st.st_nlink == 0) rotate_off_name(log, kReopen);
    return;
  }
  bool created = false;
  unsigned long prior = 0;
  const int next = open_under_name(s, name == LiveName::kOwn, &created, &prior);
  if (next == -1) {
    report_failed_open(log, kReopen);
    return;
  }
  begin_and_install(log, s, next, created, prior);
}

bool follow_other_rotation(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  std::lock_guard<std::mutex> rotation(s.rotate_mutex);
  const int fd = load(log.hflog);
  if (fd == -1 || s.fixed_target || look_at_live_name(s, fd) != LiveName::kOwn) return false;
  bool created = false;
  unsigned long prior = 0;
  const int next = open_fresh_file(s, &created, &prior);
  if (next == -1) {
    report_failed_open(log, kFollow);
    return false;
  }
  return begin_and_install(log, s, next, created, prior, kFollow);
}

}  // namespace qellog
