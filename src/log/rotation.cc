// Size-limited rotation: the file moves to a time-stamped name and the log
// goes on in a fresh file under its own name.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "log/internal.h"
#include "log/rotation_format.h"
#include "qellog/log.h"

using qellog::LockGuard;
using qellog::load;
using qellog::store;

namespace {

constexpr char kRotate[] = "create_next_file";
// A second rotation within the same millisecond would get the same name; it
// waits for the next millisecond instead, a bounded number of times.
constexpr int kMaxNameAttempts = 20;

// rename(2) that never replaces an existing file.
int rename_noreplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // The file system cannot refuse to replace: test first (racy, but only
  // against another process rotating the same file in the same millisecond).
  if (access(to, F_OK) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from, to);
}

void wait_for_next_millisecond(const timeval& t) {
  timeval now;
  do {
    const timespec pause{0, 100 * 1000};
    nanosleep(&pause, nullptr);
    gettimeofday(&now, nullptr);
  } while (now.tv_sec == t.tv_sec && now.tv_usec / 1000 == t.tv_usec / 1000);
}

}  // namespace

void CQel_Log::create_next_file() {
  std::lock_guard<std::mutex> rotation(rotate_mutex_);
  if (load(hflog) == -1) return;

  timeval now;
  struct tm cal;
  char rotated[qellog::kRotatedNameCapacity];
  for (int attempt = 1;; ++attempt) {
    gettimeofday(&now, nullptr);
    {
      LockGuard guard(write_lock_);
      qellog::store_time(last_time, now);
    }
    qellog::local_calendar(now.tv_sec, &cal);
    qellog::format_rotated_name(rotated, sizeof rotated, filename_base, cal,
                                now.tv_usec / 1000, extension);
    if (rename_noreplace(filename, rotated) == 0) break;
    const int err = errno;
    if (err == EEXIST && attempt < kMaxNameAttempts) {
      wait_for_next_millisecond(now);
      continue;
    }
    // The live file keeps its name and its content: opening the new file
    // with O_TRUNC now would empty it. Lines go on into it, and the next
    // flush request tries again.
    writelog(LOGBIT_INTERNAL, "%s: rename to %s failed %d", kRotate, rotated,
             err);
    return;
  }

  const int prev_hflog = load(hflog);
  writelog(LOGBIT_INTERNAL, "%s: curfilesize %d hflog %d file renamed to %s ",
           kRotate, static_cast<int>(load(curfilesize)), prev_hflog, rotated);

  // Rename and open run without the write lock: writers go on into the
  // rotated file through the old descriptor meanwhile.
  const int fd = open(filename, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC,
                      0666);
  if (fd == -1) {
    const int err = errno;
    // Give the file its name back and keep writing to it: no line is lost,
    // no descriptor leaks, and a later request tries again.
    const int back = rename_noreplace(rotated, filename);
    writelog(LOGBIT_INTERNAL, "%s: open %s failed %d, %s", kRotate, filename,
             err, back == 0 ? "file renamed back" : "writing on to the rotated file");
    return;
  }

  bool claimed;
  {
    // The swap: from here on no writer can reach prev_hflog, so it may be
    // closed without the lock.
    LockGuard guard(write_lock_);
    char header[qellog::kContinuationHeaderCapacity];
    const size_t n = qellog::format_continuation_header(
        header, sizeof header, filename, cal, lib_name, lib_vers, lib_created,
        lib_desc);
    store(hflog, fd);
    store(curfilesize, 0ul);
    claimed = append_locked(header, n);
  }
  if (claimed) raise_flush();
  writelog(LOGBIT_INTERNAL, "%s: open done now hflog %d  ", kRotate, fd);
  close(prev_hflog);
  writelog(LOGBIT_INTERNAL, "%s: prev_hflog %d  closed", kRotate, prev_hflog);
}
