#include "log/log_path.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "log/calendar.h"
#include "log/file_format.h"
#include "log/live_open.h"
#include "log/log_files.h"
#include "log/sync.h"
#include "log/sys_calls.h"
#include "log/write_loop.h"

namespace qellog {

void split_file_name(const char* name, char (&base)[1024], char (&ext)[11]) {
  std::memset(base, 0, sizeof base);
  std::memcpy(base, name, strnlen(name, sizeof base - 1));
  std::memset(ext, 0, sizeof ext);
  const char* dot = std::strrchr(base, '.');
  if (dot == nullptr || std::strlen(dot) > sizeof ext - 1) return;
  std::strcpy(ext, dot);
  base[dot - base] = '\0';
}

bool open_place(const char* filename, LogPlace* place, PathRefusal* why) {
  size_t dir_len = 0;
  if (std::strlen(filename) >= sizeof place->leaf ||
      !split_last_component(filename, &dir_len, place->stem, sizeof place->stem, place->ext,
                            sizeof place->ext)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::strcpy(place->leaf, filename + dir_len);
  place->dir_fd = open_name_directory(filename, &place->shared, why);
  return place->dir_fd != -1;
}

bool open_log_directory(const char* filename, LogState& s, PathRefusal* why) {
  LogPlace place;
  const bool opened = open_place(filename, &place, why);
  std::memcpy(s.leaf, place.leaf, sizeof s.leaf);
  std::memcpy(s.stem, place.stem, sizeof s.stem);
  std::memcpy(s.ext, place.ext, sizeof s.ext);
  s.nofollow = place.shared;
  s.dir_fd = place.dir_fd;
  return opened;
}

LiveTarget judge_target(int dir_fd, const char* leaf, int fd) {
  LiveTarget t;
  struct stat opened;
  struct stat named;
  const bool known = sys.fstat(fd, &opened) == 0;
  // A pipe, a socket or a terminal keeps nothing to sync; fsync(2) would
  // only fail on it.
  t.sigpipe = known && (S_ISFIFO(opened.st_mode) || S_ISSOCK(opened.st_mode));
  t.no_sync = t.sigpipe || (known && S_ISCHR(opened.st_mode));
  if (!known || !S_ISREG(opened.st_mode)) {
    t.fixed = true;
  } else if (sys.fstatat(dir_fd, leaf, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    // Gone since the open: another process logging to the same file moved
    // it away, and rotation goes on under the name.
    t.fixed = errno != ENOENT;
  } else {
    // Another regular file under the name was made by such a rotation too;
    // a symlink, or anything else, is what the open went through.
    t.fixed = !S_ISREG(named.st_mode);
  }
  return t;
}

void judge_live_target(LogState& s, int fd) {
  const LiveTarget t = judge_target(s.dir_fd, s.leaf, fd);
  s.fixed_target = t.fixed;
  s.no_sync = t.no_sync;
  s.sigpipe = t.sigpipe;
}

bool may_take(const LogState& s, const struct stat& st) {
  return S_ISREG(st.st_mode) && (!s.nofollow || st.st_uid == geteuid());
}

LiveName look_at_live_name(const LogState& s, int fd) {
  struct stat named;
  if (sys.fstatat(s.dir_fd, s.leaf, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? LiveName::kMissing : LiveName::kUnknown;
  }
  if (!S_ISREG(named.st_mode)) return LiveName::kNotRegular;
  struct stat opened;
  if (fd != -1 && sys.fstat(fd, &opened) == 0 && same_inode(opened, named)) {
    return LiveName::kOpenFile;
  }
  return may_take(s, named) ? LiveName::kOwn : LiveName::kForeign;
}

int open_fresh_file(const LogState& s, bool* created, unsigned long* prior) {
  constexpr int kWrite = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
  *prior = 0;
  *created = true;
  int fd = sys.openat(s.dir_fd, s.leaf, kWrite | O_CREAT | O_EXCL, s.mode);
  if (fd != -1) mark_live_file(fd);
  if (fd != -1 || errno != EEXIST) return fd;
  // The name was just moved away, so this file was made since, most likely
  // by another process logging to the same file: its lines stay. O_NONBLOCK
  // keeps a planted FIFO from blocking the open.
  *created = false;
  fd = sys.openat(s.dir_fd, s.leaf, kWrite | O_NONBLOCK | O_NOCTTY, 0);
  if (fd == -1) return -1;
  struct stat st {};
  if (sys.fstat(fd, &st) != 0 || !may_take(s, st)) {
    const bool regular = S_ISREG(st.st_mode);
    sys.close(fd);
    errno = regular ? EPERM : EINVAL;
    return -1;
  }
  sys.fcntl(fd, F_SETFL, O_APPEND);
  mark_live_file(fd);
  *prior = static_cast<unsigned long>(st.st_size);
  return fd;
}

bool begin_file(CQel_Log& log, LogState& s, int fd, const struct tm& cal, const char* created_leaf,
                size_t* header_len) {
  char header[kHeaderCapacity];
  {
    LockGuard guard(s.write_lock);
    *header_len =
        format_continuation_header(header, sizeof header, log.filename, cal,
                                   {log.lib_name, log.lib_vers, log.lib_created, log.lib_desc},
                                   s.lf_only.load(std::memory_order_relaxed));
  }
  if (write_all(fd, header, *header_len)) return true;
  const int err = errno;
  report_write_error(log.filename, err);
  if (created_leaf != nullptr) sys.unlinkat(s.dir_fd, created_leaf, 0);
  sys.close(fd);
  errno = err;
  return false;
}

time_t file_began(const LogState& s, int fd, time_t now) {
  struct statx x;
  if (sys.statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &x) == 0 && (x.stx_mask & STATX_BTIME) != 0 &&
      x.stx_btime.tv_sec > 0) {
    return static_cast<time_t>(x.stx_btime.tv_sec);
  }
  struct stat st;
  if (sys.fstat(fd, &st) != 0) return now;
  char head[kHeadProbe];
  struct tm cal;
  if (!header_time(head, read_file_head(s.dir_fd, s.leaf, st.st_dev, st.st_ino, head, sizeof head),
                   &cal)) {
    return now;
  }
  const time_t t = local_mktime(&cal);
  if (t != -1 && t <= now) return t;
  // A header ahead of the clock was written by a clock that ran ahead:
  // the file began no later than its last change, if that is not ahead
  // too.
  return st.st_mtime <= now ? st.st_mtime : now;
}

time_t file_start_time(const LogState& s, int fd, unsigned long prior) {
  const time_t now = sys.wall_clock();
  return prior > 0 ? file_began(s, fd, now) : now;
}

unsigned long regular_file_size(int fd) {
  struct stat st;
  if (sys.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<unsigned long>(st.st_size);
}

int rename_noreplace(const LogState& s, const char* from, const char* to) {
  if (sys.renameat2(s.dir_fd, from, s.dir_fd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // Racy, but only against another process rotating the same file in the
  // same millisecond.
  struct stat st;
  if (sys.fstatat(s.dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return sys.renameat2(s.dir_fd, from, s.dir_fd, to, 0);
}

}  // namespace qellog
