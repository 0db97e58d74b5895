// Rotation in the generations layout: a file is born under its stamped
// name and never renamed; only the live name, a second link, moves on.
#include "log/generations.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "log/append.h"
#include "log/calendar.h"
#include "log/file_format.h"
#include "log/flush_request.h"
#include "log/log_files.h"
#include "log/log_path.h"
#include "log/message.h"
#include "log/own_file.h"
#include "log/rotated_files.h"
#include "log/sync.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

constexpr char kRotate[] = "create_next_file";
// Two births within one millisecond would share a name: the second waits
// for the next millisecond, a bounded number of times.
constexpr int kMaxNameAttempts = 20;
constexpr int kBornFlags = O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW;

// The name the new file is linked to before it replaces the live name.
std::string link_name(const LogState& s) { return std::string(".") + s.leaf + ".link"; }

// True when `leaf` in the log's directory names the file open as `fd`.
bool names_file(const LogState& s, const char* leaf, int fd) {
  struct stat a;
  struct stat b;
  return sys.fstat(fd, &a) == 0 && sys.fstatat(s.dir_fd, leaf, &b, AT_SYMLINK_NOFOLLOW) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The rotated name of a file born now; `now` and `cal` get the reading.
void birth_name(const LogState& s, timeval* now, struct tm* cal,
                char (&leaf)[kRotatedNameCapacity]) {
  gettimeofday(now, nullptr);
  local_calendar(now->tv_sec, cal);
  format_rotated_name(leaf, sizeof leaf, s.stem, *cal, now->tv_usec / 1000, s.ext);
}

// The name an earlier run gave the file open as `fd`: a rotated name of
// the log's that links the file under the live name.
bool find_own_name(const LogState& s, int fd, std::string* out) {
  struct stat st;
  if (sys.fstat(fd, &st) != 0 || st.st_nlink < 2) return false;
  const int dir = sys.openat(s.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir == -1) return false;
  std::vector<RotatedFile> others;
  rotated_files_of(dir, s.leaf, geteuid(), sys.wall_clock(), &others);
  sys.close(dir);
  for (const RotatedFile& f : others) {
    if (f.standing == Standing::kLiveFile && f.dev == st.st_dev && f.ino == st.st_ino) {
      *out = f.name;
      return true;
    }
  }
  return false;
}

// Links the file open as `fd`, found under the live name, to a name
// stamped now. A link that turns out to name another file (the live name
// changed in between) is this call's own and is taken back.
bool link_new_name(CQel_Log& log, LogState& s, int fd) {
  char leaf[kRotatedNameCapacity];
  timeval now;
  struct tm cal;
  for (int attempt = 1; names_file(s, s.leaf, fd); ++attempt) {
    birth_name(s, &now, &cal, leaf);
    if (sys.linkat(s.dir_fd, s.leaf, s.dir_fd, leaf, 0) == 0) {
      if (names_file(s, leaf, fd)) {
        s.gen_leaf = leaf;
        return true;
      }
      sys.unlinkat(s.dir_fd, leaf, 0);
      return false;
    }
    if (errno != EEXIST || attempt >= kMaxNameAttempts) {
      diagnostic(log, "%s: link to %s failed %d", kRotate, leaf, errno);
      return false;
    }
    wait_for_next_millisecond(now);
  }
  return false;
}

// The current file's own name: the one it has, or a new one.
bool ensure_own_name(CQel_Log& log, LogState& s) {
  const int fd = load(log.hflog);
  if (!s.gen_leaf.empty() && names_file(s, s.gen_leaf.c_str(), fd)) return true;
  s.gen_leaf.clear();
  return find_own_name(s, fd, &s.gen_leaf) || link_new_name(log, s, fd);
}

// A name left under the link name by a rotation that did not finish: a
// second link of a file of the log's, which keeps its own name, goes;
// anything else stays, and this rotation waits.
bool clear_link_name(CQel_Log& log, const LogState& s, const char* tmp) {
  struct stat st;
  if (sys.fstatat(s.dir_fd, tmp, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (may_take(s, st) && st.st_nlink >= 2 && sys.unlinkat(s.dir_fd, tmp, 0) == 0) return true;
  refuse_once(log, kRefusedLinkName, kRotate, tmp);
  return false;
}

// Creates the next file, with its continuation header, under a name of its
// own stamped with its birth and linked to `tmp`, or, when `named` is
// false, under `tmp` alone. -1 on failure; `born` gets its name.
int create_next(CQel_Log& log, LogState& s, bool named, const std::string& tmp, std::string* born,
                size_t* header_len) {
  char leaf[kRotatedNameCapacity];
  timeval now;
  struct tm cal;
  int fd = -1;
  for (int attempt = 1; fd == -1; ++attempt) {
    birth_name(s, &now, &cal, leaf);
    if (!named) std::snprintf(leaf, sizeof leaf, "%s", tmp.c_str());
    fd = sys.openat(s.dir_fd, leaf, kBornFlags, s.mode);
    if (fd == -1 && (errno != EEXIST || !named || attempt >= kMaxNameAttempts)) {
      diagnostic(log, "%s: open %s failed %d", kRotate, leaf, errno);
      return -1;
    }
    if (fd == -1) wait_for_next_millisecond(now);
  }
  {
    LockGuard guard(s.write_lock);
    store_time(log.last_time, now);
  }
  mark_live_file(fd);
  if (!begin_file(log, s, fd, cal, leaf, header_len)) return -1;
  if (named && sys.linkat(s.dir_fd, leaf, s.dir_fd, tmp.c_str(), 0) != 0) {
    diagnostic(log, "%s: link to %s failed %d", kRotate, tmp.c_str(), errno);
  }
  *born = leaf;
  return fd;
}

}  // namespace

bool adopt_generation(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  RotationLock rotation(s);
  if (load(log.hflog) == -1 || s.fixed_target || s.off_name) return false;
  return ensure_own_name(log, s);
}

bool takes_generation_route(const LogState& s) {
  return !s.off_name && (s.generations.load(std::memory_order_relaxed) || !s.gen_leaf.empty());
}

bool rotate_generation(CQel_Log& log, LogState& s) {
  // An old file without a name of its own would leave every reader's
  // sight with the live name.
  if (!ensure_own_name(log, s)) return false;
  const std::string tmp = link_name(s);
  if (!clear_link_name(log, s, tmp.c_str())) return false;
  const bool named = s.generations.load(std::memory_order_relaxed);
  std::string born;
  size_t header_len = 0;
  const int fd = create_next(log, s, named, tmp, &born, &header_len);
  if (fd == -1) return false;
  const size_t dir_len = std::strlen(log.filename) - std::strlen(s.leaf);
  diagnostic(log, "%s: curfilesize %d hflog %d next file %.*s%s ", kRotate,
             static_cast<int>(load(log.curfilesize)), load(log.hflog), static_cast<int>(dir_len),
             log.filename, born.c_str());
  unsigned long long wrote = 0;
  const int previous = swap_descriptor(log, s, fd, header_len, 0, sys.wall_clock(), &wrote);
  // Only now, with no write left on the old file, does the live name move:
  // a reader that follows the name finds every line of the old file in it.
  if (sys.renameat2(s.dir_fd, tmp.c_str(), s.dir_fd, s.leaf, 0) != 0) {
    diagnostic(log, "%s: rename to %s failed %d", kRotate, log.filename, errno);
  }
  diagnostic(log, "%s: open done now hflog %d  ", kRotate, fd);
  sys.close(previous);
  remember_rotated(s, s.gen_leaf.c_str(), wrote);
  s.gen_leaf = named ? born : std::string();
  diagnostic(log, "%s: prev_hflog %d  closed", kRotate, previous);
  return true;
}

std::string rotated_name_glob(const char* live_path) {
  size_t dir_len = 0;
  char stem[1024];
  char ext[16];
  if (!split_last_component(live_path, &dir_len, stem, sizeof stem, ext, sizeof ext) ||
      stem[0] == '\0') {
    return std::string();
  }
  return std::string(live_path, dir_len) + stem + "_*" + ext;
}

}  // namespace qellog
