#include "log/log_move.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "log/append.h"
#include "log/calendar.h"
#include "log/file_format.h"
#include "log/flush_request.h"
#include "log/live_open.h"
#include "log/log_files.h"
#include "log/log_path.h"
#include "log/lost_lines.h"
#include "log/message.h"
#include "log/sync.h"
#include "log/sys_calls.h"
#include "log/write_loop.h"

namespace qellog {
namespace {

constexpr char kMove[] = "move_log";

bool same_file(int a, int b) {
  struct stat sa;
  struct stat sb;
  return sys.fstat(a, &sa) == 0 && sys.fstat(b, &sb) == 0 && same_inode(sa, sb);
}

// The new file's first pieces, written before any writer can reach it: the
// start header, and the banner when the log has one. Their bytes, or 0
// with errno set when a write failed (reported under `path`).
unsigned long begin_moved_file(CQel_Log& log, LogState& s, int fd, const char* path, bool lf_only,
                               bool pipe, const timeval& now) {
  struct tm cal;
  local_calendar(now.tv_sec, &cal);
  char header[kHeaderCapacity];
  const size_t h = format_start_header(header, sizeof header, path, cal, lf_only);
  char banner[kBannerCapacity];
  size_t b = 0;
  {
    LockGuard guard(s.write_lock);
    if (s.has_banner) {
      b = format_banner(banner, sizeof banner,
                        {log.lib_name, log.lib_vers, log.lib_created, log.lib_desc}, lf_only);
    }
  }
  if (write_all(fd, header, h, nullptr, pipe) &&
      (b == 0 || write_all(fd, banner, b, nullptr, pipe))) {
    return h + b;
  }
  const int err = errno;
  report_write_error(path, err);
  errno = err;
  return 0;
}

// The old file's last piece, once nobody writes to it any more. A failed
// write is reported and counted as a lost piece.
void end_old_file(LogState& s, int fd, const char* name, bool lf_only, bool pipe,
                  const timeval& now) {
  struct tm cal;
  local_calendar(now.tv_sec, &cal);
  char trailer[kTrailerCapacity];
  const size_t n = format_trailer(trailer, sizeof trailer, cal, lf_only);
  if (write_all(fd, trailer, n, nullptr, pipe)) return;
  const int err = errno;
  report_write_error(name, err);
  LockGuard guard(s.write_lock);
  note_lost_locked(s, err);
}

// Under rotate_mutex: the log lives at `p` from now on, in the file judged
// `t`; its directory is taken over. What was remembered of the old place
// goes.
void take_place(LogState& s, LogPlace& p, const LiveTarget& t, int flags, unsigned mode) {
  s.dir_fd = p.dir_fd;
  p.dir_fd = -1;
  std::memcpy(s.leaf, p.leaf, sizeof s.leaf);
  std::memcpy(s.stem, p.stem, sizeof s.stem);
  std::memcpy(s.ext, p.ext, sizeof s.ext);
  s.nofollow = p.shared;
  s.fixed_target = t.fixed;
  s.no_sync = t.no_sync;
  s.open_flags = flags;
  s.mode = mode;
  s.off_name = false;
  s.name_missing = 0;
  s.failed_rotations = 0;
  s.failures_said_count = 0;
  s.rotated_here.clear();
  ++s.place_generation;
}

// The file a move goes to, opened and begun, before the log switches to it.
struct NewFile {
  LogPlace place;
  int fd = -1;
  LiveTarget target;
  unsigned long prior = 0;  // the bytes it held
  unsigned long head = 0;   // the bytes of its header and banner
  timeval now{};            // when the move happened
};

enum class Opened { kNew, kSame, kFailed };

// Closes what open_new_file() opened, keeping errno.
Opened close_new_file(NewFile* n, Opened result) {
  const int err = errno;
  if (n->fd != -1) sys.close(n->fd);
  sys.close(n->place.dir_fd);
  errno = err;
  return result;
}

// Opens `path` into `n` as the constructor opens its file, and begins it
// with its header: kNew. kSame, with nothing kept open, when it is the
// file the log writes to as `current` already; kFailed with errno set when
// it cannot be opened or begun.
Opened open_new_file(CQel_Log& log, LogState& s, int current, const char* path, int flags,
                     unsigned mode, bool lf_only, NewFile* n, PathRefusal* why) {
  if (!open_place(path, &n->place, why)) return Opened::kFailed;
  n->fd = open_live_file(n->place.dir_fd, n->place.leaf, n->place.shared, path, flags & ~O_TRUNC,
                         mode, why);
  if (n->fd == -1) return close_new_file(n, Opened::kFailed);
  if (current != -1 && same_file(n->fd, current)) return close_new_file(n, Opened::kSame);
  n->target = judge_target(n->place.dir_fd, n->place.leaf, n->fd);
  n->prior = regular_file_size(n->fd);
  gettimeofday(&n->now, nullptr);
  n->head = begin_moved_file(log, s, n->fd, path, lf_only, n->target.sigpipe, n->now);
  return n->head == 0 ? close_new_file(n, Opened::kFailed) : Opened::kNew;
}

// Under rotate_mutex: writers go on in `n`, whose place the log takes
// over; the old file gets its trailer once the writes under way on it
// have returned, and is closed with its directory.
void switch_to(CQel_Log& log, LogState& s, NewFile& n, const char* path, int flags, unsigned mode) {
  char old_name[sizeof log.filename];
  std::strcpy(old_name, log.filename);
  const int old_dir = s.dir_fd;
  const bool old_lf = s.lf_only.load(std::memory_order_relaxed);
  const bool old_pipe = s.sigpipe;
  take_place(s, n.place, n.target, flags, mode);
  const time_t began = file_start_time(s, n.fd, n.prior);
  int previous;
  unsigned old_generation;
  {
    LockGuard guard(s.write_lock);
    std::memcpy(log.filename, path, std::strlen(path) + 1);
    split_file_name(log.filename, log.filename_base, log.extension);
    s.sigpipe = n.target.sigpipe;
    store_time(log.last_time, n.now);
    old_generation =
        publish_descriptor_locked(log, s, n.fd, n.head, n.prior, began, &previous, nullptr);
  }
  s.last_seen_size = n.prior + n.head;
  wait_for_writes(s, old_generation);
  if (previous != -1) {
    end_old_file(s, previous, old_name, old_lf, old_pipe, n.now);
    sys.close(previous);
  }
  if (old_dir != -1) sys.close(old_dir);
}

}  // namespace

bool move_log(CQel_Log& log, const char* path, int flags, unsigned mode, bool lf_only,
              PathRefusal* why) {
  LogState& s = LogAccess::state(log);
  if (std::strlen(path) >= sizeof log.filename) {
    errno = ENAMETOOLONG;
    return false;
  }
  RotationLock rotation(s);
  const int current = load(log.hflog);
  if (current == -1 || std::strcmp(path, log.filename) != 0) {
    NewFile n;
    switch (open_new_file(log, s, current, path, flags, mode, lf_only, &n, why)) {
      case Opened::kFailed:
        return false;
      case Opened::kNew:
        diagnostic(log, "%s: lines go on in %s", kMove, path);
        switch_to(log, s, n, path, flags, mode);
        return true;
      case Opened::kSame:
        break;
    }
  }
  s.open_flags = flags;
  s.mode = mode;
  return true;
}

}  // namespace qellog
