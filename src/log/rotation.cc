// Size-limited rotation: the file moves to a time-stamped name and the log
// goes on in a fresh file under its own name, in the directory it was
// opened in.
#include "log/rotation.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "log/append.h"
#include "log/calendar.h"
#include "log/file_format.h"
#include "log/flush_request.h"
#include "log/generations.h"
#include "log/log_files.h"
#include "log/log_path.h"
#include "log/message.h"
#include "log/own_file.h"
#include "log/sync.h"
#include "log/sys_calls.h"
#include "log/write_loop.h"

namespace qellog {

namespace {

constexpr char kRotate[] = "create_next_file";
// A second rotation within the same millisecond would get the same name; it
// waits for the next millisecond instead, a bounded number of times.
constexpr int kMaxNameAttempts = 20;

// The steps whose failure a rotation reports, each once per errno until a
// rotation succeeds (first_failure()).
enum FailedStep {
  kMoveAside = 1,
  kOpenNew,
  kHeaderToNew,
  kHiddenInUse,
  kLeftOverKept,
  kOpenHidden,
};

// True the first time since the last rotation that succeeded that `step`
// failed with `err`.
bool first_failure(LogState& s, FailedStep step, int err) {
  const int cause = static_cast<int>(step) << 16 | (err & 0xffff);
  for (unsigned i = 0; i < s.failures_said_count; ++i) {
    if (s.failures_said[i] == cause) return false;
  }
  constexpr unsigned kKept = sizeof s.failures_said / sizeof s.failures_said[0];
  if (s.failures_said_count < kKept) s.failures_said[s.failures_said_count++] = cause;
  return true;
}

// A failed rotation is counted; the first that succeeds after some says
// how many tries failed before it and forgets the causes said.
void count_try(CQel_Log& log, LogState& s, bool rotated) {
  if (!rotated) {
    ++s.failed_rotations;
    return;
  }
  if (s.failed_rotations != 0) {
    diagnostic(log, "%s: rotated after %lu failed tries", kRotate, s.failed_rotations);
  }
  s.failed_rotations = 0;
  s.failures_said_count = 0;
}

// One rotation's names: the rotated leaf in the log's directory, and the
// same file as the log's own name spells it, for the diagnostics.
struct Rotated {
  char leaf[kRotatedNameCapacity];
  char shown[2 * kRotatedNameCapacity];
  bool moved = false;  // false: the live name was already gone
};

void name_rotated(CQel_Log& log, const LogState& s, const timeval& now, const struct tm& cal,
                  Rotated* r) {
  format_rotated_name(r->leaf, sizeof r->leaf, s.stem, cal, now.tv_usec / 1000, s.ext);
  const size_t dir_len = std::strlen(log.filename) - std::strlen(s.leaf);
  std::snprintf(r->shown, sizeof r->shown, "%.*s%s", static_cast<int>(dir_len), log.filename,
                r->leaf);
}

// A time-stamped name that no file has yet: a rotation within the same
// millisecond as the last one waits for the next. `now` and `cal` are the
// reading the name was made from.
void free_rotated_name(CQel_Log& log, const LogState& s, Rotated* r, timeval* now, struct tm* cal) {
  for (int attempt = 1;; ++attempt) {
    gettimeofday(now, nullptr);
    local_calendar(now->tv_sec, cal);
    name_rotated(log, s, *now, *cal, r);
    struct stat st;
    if (sys.fstatat(s.dir_fd, r->leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        attempt >= kMaxNameAttempts) {
      return;
    }
    wait_for_next_millisecond(*now);
  }
}

// A free rotated name for this rotation, whose clock reading becomes the
// elapsed-time reference and gives the calendar `cal` of the new header.
void name_rotation(CQel_Log& log, LogState& s, Rotated* r, struct tm* cal) {
  timeval now;
  free_rotated_name(log, s, r, &now, cal);
  LockGuard guard(s.write_lock);
  store_time(log.last_time, now);
}

// Renames `from` to the rotated name `r`, or, when a file took that name
// meanwhile, to the next free one (`r`, and `now` and `cal` when given,
// then name it).
bool rename_to_rotated(CQel_Log& log, LogState& s, const char* from, Rotated* r,
                       timeval* now = nullptr, struct tm* cal = nullptr) {
  timeval own_now;
  struct tm own_cal;
  for (int attempt = 1;; ++attempt) {
    if (rename_noreplace(s, from, r->leaf) == 0) return true;
    if (errno != EEXIST || attempt >= kMaxNameAttempts) return false;
    free_rotated_name(log, s, r, now != nullptr ? now : &own_now, cal != nullptr ? cal : &own_cal);
  }
}

// Step 1: moves the live file to its time-stamped name. The rotation's
// clock reading becomes the elapsed-time reference and gives the calendar
// `cal` of the new header. False when the file keeps its name; true also
// when the name was already gone (deleted or moved away by someone else),
// so that the log does not go on writing into a file nobody can see.
bool move_aside(CQel_Log& log, LogState& s, Rotated* r, struct tm* cal) {
  timeval now;
  free_rotated_name(log, s, r, &now, cal);
  r->moved = rename_to_rotated(log, s, s.leaf, r, &now, cal);
  const int err = errno;
  {
    LockGuard guard(s.write_lock);
    store_time(log.last_time, now);
  }
  if (r->moved) return true;
  if (err == ENOENT) {
    diagnostic(log, "%s: %s is gone, a new file starts", kRotate, log.filename);
    return true;
  }
  // The live file keeps its name and its content. Lines go on into it, and
  // the next flush request tries again.
  if (first_failure(s, kMoveAside, err)) {
    diagnostic(log, "%s: rename to %s failed %d", kRotate, r->shown, err);
  }
  return false;
}

// Gives the rotated file its name back after a failed step 2, so that the
// log writes on to it under its own name and a later request tries again.
// A refusal of the own-file rule (EPERM: another user's file, EINVAL: not
// a regular file took the name) is said once per file.
void undo_move(CQel_Log& log, LogState& s, const Rotated& r, FailedStep step, int err) {
  const bool back = r.moved && rename_noreplace(s, r.leaf, s.leaf) == 0;
  const unsigned cause = err == EPERM ? kRefusedForeign : err == EINVAL ? kRefusedNotRegular : 0;
  if (cause != 0 && !s.first_refusal(cause)) return;
  if (cause == 0 && !first_failure(s, step, err)) return;
  const char* what = step == kOpenNew ? "open" : "header to";
  diagnostic(log, "%s: %s %s failed %d, %s", kRotate, what, log.filename, err,
             back ? "file renamed back" : "writing on to the rotated file");
}

// A file under the live name took over from one of rotate_off_name()'s,
// which is remembered as rotated by this process.
void back_under_name(LogState& s, unsigned long long wrote) {
  if (!s.off_name) return;
  remember_rotated(s, s.off_leaf, wrote);
  s.off_name = false;
}

// The last step of both orders, once `fd` is installed: closes the old
// file `previous`, which nobody writes to any more, and remembers it as
// rotated by this process when it was moved to `r` (`wrote` bytes).
void retire_old_file(CQel_Log& log, LogState& s, int fd, int previous, unsigned long long wrote,
                     const Rotated& r) {
  diagnostic(log, "%s: open done now hflog %d  ", kRotate, fd);
  sys.close(previous);
  if (r.moved) remember_rotated(s, r.leaf, wrote);
  back_under_name(s, wrote);
  diagnostic(log, "%s: prev_hflog %d  closed", kRotate, previous);
}

// Step 2: opens the new file and writes its continuation header before
// any writer can reach it, so the header is the file's first piece. -1 on
// failure, with the move undone.
int open_next(CQel_Log& log, LogState& s, const Rotated& r, const struct tm& cal,
              size_t* header_len, unsigned long* prior) {
  bool created = false;
  const int fd = open_fresh_file(s, &created, prior);
  if (fd == -1) {
    undo_move(log, s, r, kOpenNew, errno);
    return -1;
  }
  if (begin_file(log, s, fd, cal, created ? s.leaf : nullptr, header_len)) {
    return fd;
  }
  undo_move(log, s, r, kHeaderToNew, errno);
  return -1;
}

// The classic order: move the live file aside, then open its successor.
// Writers go on into the rotated file through the old descriptor until the
// swap.
bool rotate_moving_first(CQel_Log& log, LogState& s) {
  Rotated r;
  struct tm cal;
  if (!move_aside(log, s, &r, &cal)) return false;
  if (r.moved) {
    diagnostic(log, "%s: curfilesize %d hflog %d file renamed to %s ", kRotate,
               static_cast<int>(load(log.curfilesize)), load(log.hflog), r.shown);
  }
  if (sys.after_move_aside != nullptr) sys.after_move_aside(s.dir_fd, s.leaf);
  // Rename and open run without the write lock.
  size_t header_len = 0;
  unsigned long prior = 0;
  const int fd = open_next(log, s, r, cal, &header_len, &prior);
  if (fd == -1) return false;
  unsigned long long wrote = 0;
  const int previous = install_file(log, s, fd, header_len, prior, &wrote);
  retire_old_file(log, s, fd, previous, wrote, r);
  return true;
}

// The tail-safe order. A tailer that follows the live name finishes the
// old file once the name points elsewhere; in the classic order lines still
// reach the old file after that through the old descriptor, and a tailer
// that has moved on never sees them. Here the new file is prepared under a
// hidden name, the descriptor is swapped and the writes under way on the
// old one are waited for, and only then does the old file leave the live
// name, by an exchange, so that the name never disappears.
constexpr char kHiddenPrefix[] = ".";
constexpr char kHiddenSuffix[] = ".next";

struct Hidden {
  char leaf[1100];
};

void hidden_name(const LogState& s, Hidden* h) {
  std::snprintf(h->leaf, sizeof h->leaf, "%s%s%s", kHiddenPrefix, s.leaf, kHiddenSuffix);
}

enum class HiddenName { kFree, kInUse, kNotOurs };

// A hidden file found at the start of a rotation is a new file whose
// rotation did not finish (a crash between the swap and the exchange). One
// old enough to be nobody's rotation in progress is kept as a rotated file.
// One that is not the log's own (may_adopt_hidden) is left as it is, and
// this rotation takes the usual order.
HiddenName recover_hidden(CQel_Log& log, LogState& s, const Hidden& h) {
  struct stat st;
  if (sys.fstatat(s.dir_fd, h.leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return HiddenName::kFree;
  }
  struct stat own;
  const bool ours = sys.fstat(load(log.hflog), &own) == 0 && same_inode(own, st);
  // This log's own current file, left hidden when an earlier rotation
  // could not finish its renames: it takes the live name if that is free.
  if (ours && rename_noreplace(s, h.leaf, s.leaf) == 0) return HiddenName::kFree;
  if (!ours && !may_adopt_hidden(s, h.leaf, st)) {
    refuse_once(log, kRefusedHidden, kRotate, h.leaf);
    return HiddenName::kNotOurs;
  }
  if (!ours && st.st_mtime > sys.wall_clock() - 60) {
    if (first_failure(s, kHiddenInUse, 0)) {
      diagnostic(log, "%s: %s in use, rotation postponed", kRotate, h.leaf);
    }
    return HiddenName::kInUse;
  }
  Rotated r;
  struct tm cal;
  timeval now;
  free_rotated_name(log, s, &r, &now, &cal);
  const bool kept = rename_to_rotated(log, s, h.leaf, &r);
  if (kept || first_failure(s, kLeftOverKept, errno)) {
    diagnostic(log, "%s: left-over %s %s %s", kRotate, h.leaf,
               kept ? "kept as" : "cannot be moved to", r.shown);
  }
  return kept ? HiddenName::kFree : HiddenName::kInUse;
}

// Creates the hidden new file and begins it with its continuation header. -1 on failure;
// errno EEXIST when a file took the hidden name since it was looked at.
int begin_hidden(CQel_Log& log, LogState& s, const Hidden& h, const struct tm& cal,
                 size_t* header_len) {
  const int fd = sys.openat(
      s.dir_fd, h.leaf, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, s.mode);
  if (fd == -1) {
    const int err = errno;
    if (err != EEXIST && first_failure(s, kOpenHidden, err)) {
      diagnostic(log, "%s: open %s failed %d", kRotate, h.leaf, err);
    }
    errno = err;
    return -1;
  }
  mark_live_file(fd);
  return begin_file(log, s, fd, cal, h.leaf, header_len) ? fd : -1;
}

// Moves the old file (now written by nobody) to its rotated name and the
// hidden file to the live name. False when the new file stays hidden; it
// then gets a name at the next rotation.
bool move_into_place(CQel_Log& log, LogState& s, const Hidden& h, Rotated* r) {
  if (sys.renameat2(s.dir_fd, s.leaf, s.dir_fd, h.leaf, RENAME_EXCHANGE) == 0) {
    // The old file is under the hidden name now.
    return rename_to_rotated(log, s, h.leaf, r);
  }
  if (errno == EINVAL || errno == ENOSYS) {
    // No exchange on this file system: the live name is missing for a
    // moment.
    if (!rename_to_rotated(log, s, s.leaf, r) && errno != ENOENT) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  return rename_noreplace(s, h.leaf, s.leaf) == 0;
}

bool rotate_tailsafe(CQel_Log& log, LogState& s) {
  Hidden h;
  hidden_name(s, &h);
  switch (recover_hidden(log, s, h)) {
    case HiddenName::kInUse:
      return false;
    case HiddenName::kNotOurs:
      return rotate_moving_first(log, s);
    case HiddenName::kFree:
      break;
  }
  struct tm cal;
  Rotated r;
  name_rotation(log, s, &r, &cal);
  size_t header_len = 0;
  const int fd = begin_hidden(log, s, h, cal, &header_len);
  if (fd == -1 && errno == EEXIST) {
    refuse_once(log, kRefusedHidden, kRotate, h.leaf);
    return rotate_moving_first(log, s);
  }
  if (fd == -1) return false;
  diagnostic(log, "%s: curfilesize %d hflog %d file renamed to %s ", kRotate,
             static_cast<int>(load(log.curfilesize)), load(log.hflog), r.shown);
  unsigned long long wrote = 0;
  const int previous = install_file(log, s, fd, header_len, 0, &wrote);
  r.moved = move_into_place(log, s, h, &r);
  if (!r.moved) diagnostic(log, "%s: rename to %s failed %d", kRotate, r.shown, errno);
  retire_old_file(log, s, fd, previous, wrote, r);
  return true;
}

}  // namespace

bool rotate(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  RotationLock rotation(s);
  if (load(log.hflog) == -1 || rotation_is_off(log)) return false;
  // Once off its name, the log says why only when it gets there.
  if (s.off_name ? live_name_taken(s, load(log.hflog)) : !live_name_may_change(log, kRotate)) {
    return rotate_off_name(log, kRotate);
  }
  const bool rotated = takes_generation_route(s)                    ? rotate_generation(log, s)
                       : s.tailsafe.load(std::memory_order_relaxed) ? rotate_tailsafe(log, s)
                                                                    : rotate_moving_first(log, s);
  count_try(log, s, rotated);
  return rotated;
}

bool rotate_off_name(CQel_Log& log, const char* fn) {
  LogState& s = LogAccess::state(log);
  Rotated r;
  struct tm cal;
  name_rotation(log, s, &r, &cal);
  const int fd = sys.openat(
      s.dir_fd, r.leaf, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, s.mode);
  size_t header_len = 0;
  if (fd == -1 || !begin_file(log, s, fd, cal, r.leaf, &header_len)) {
    if (fd == -1) diagnostic(log, "%s: open %s failed %d", fn, r.shown, errno);
    return false;
  }
  mark_live_file(fd);
  unsigned long long wrote = 0;
  sys.close(install_file(log, s, fd, header_len, 0, &wrote));
  const bool first = !s.off_name;
  if (!first) remember_rotated(s, s.off_leaf, wrote);
  s.off_name = true;
  std::snprintf(s.off_leaf, sizeof s.off_leaf, "%s", r.leaf);
  if (first) diagnostic(log, "%s: %s is taken, lines go on in %s", fn, log.filename, r.shown);
  return true;
}

int install_file(CQel_Log& log, LogState& s, int fd, size_t header_len, unsigned long prior,
                 unsigned long long* wrote) {
  return swap_descriptor(log, s, fd, header_len, prior, file_start_time(s, fd, prior), wrote);
}

bool size_limit_reached(CQel_Log& log) {
  const LogState& s = LogAccess::state(log);
  return load(log.curfilesize) + s.prior_bytes.load(std::memory_order_relaxed) >=
         load(log.maxfilesize);
}

}  // namespace qellog
