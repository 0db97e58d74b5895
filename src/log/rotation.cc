// Size-limited rotation: the file moves to a time-stamped name and the log
// goes on in a fresh file under its own name.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "log/append.h"
#include "log/file_format.h"
#include "log/flush.h"
#include "log/process_ids.h"
#include "log/sync.h"

namespace qellog {
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

// Step 1: moves the live file to its time-stamped name `rotated`. The
// rotation's clock reading becomes the elapsed-time reference and gives
// the calendar `cal` of the new header. False when the file keeps its name.
bool move_aside(CQel_Log& log, char (&rotated)[kRotatedNameCapacity],
                struct tm* cal) {
  LogState& s = LogAccess::state(log);
  for (int attempt = 1;; ++attempt) {
    timeval now;
    gettimeofday(&now, nullptr);
    {
      LockGuard guard(s.write_lock);
      store_time(log.last_time, now);
    }
    local_calendar(now.tv_sec, cal);
    format_rotated_name(rotated, sizeof rotated, log.filename_base, *cal,
                        now.tv_usec / 1000, log.extension);
    if (rename_noreplace(log.filename, rotated) == 0) return true;
    const int err = errno;
    if (err == EEXIST && attempt < kMaxNameAttempts) {
      wait_for_next_millisecond(now);
      continue;
    }
    // The live file keeps its name and its content: opening the new file
    // with O_TRUNC now would empty it. Lines go on into it, and the next
    // flush request tries again.
    log.writelog(LOGBIT_INTERNAL, "%s: rename to %s failed %d", kRotate,
                 rotated, err);
    return false;
  }
}

// Step 2: opens the new file and writes its continuation header, before
// any writer can reach it, so the header is the file's first piece. -1
// when it cannot be opened: the rotated file then gets its name back.
int open_next(CQel_Log& log, const char* rotated, const struct tm& cal,
              size_t* header_len, bool* header_written) {
  const int fd = open(log.filename,
                      O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (fd == -1) {
    const int err = errno;
    // No line is lost, no descriptor leaks, and a later request tries again.
    const int back = rename_noreplace(rotated, log.filename);
    log.writelog(LOGBIT_INTERNAL, "%s: open %s failed %d, %s", kRotate,
                 log.filename, err,
                 back == 0 ? "file renamed back" : "writing on to the rotated file");
    return -1;
  }
  char header[kHeaderCapacity];
  {
    LockGuard guard(LogAccess::state(log).write_lock);
    *header_len = format_continuation_header(
        header, sizeof header, log.filename, cal,
        {log.lib_name, log.lib_vers, log.lib_created, log.lib_desc});
  }
  *header_written = write_all(fd, header, *header_len);
  if (!*header_written) report_write_error(log.filename, errno);
  return fd;
}

}  // namespace
}  // namespace qellog

void CQel_Log::create_next_file() {
  using namespace qellog;
  // A flush raised by a line written here would sync under the rotation
  // lock, which this rotation holds.
  NoFlushRequests no_flush;
  LogState& s = LogAccess::state(*this);
  std::lock_guard<std::mutex> rotation(s.rotate_mutex);
  if (load(hflog) == -1) return;

  char rotated[kRotatedNameCapacity];
  struct tm cal;
  if (!move_aside(*this, rotated, &cal)) return;
  writelog(LOGBIT_INTERNAL, "%s: curfilesize %d hflog %d file renamed to %s ",
           kRotate, static_cast<int>(load(curfilesize)), load(hflog), rotated);

  // Rename and open run without the write lock: writers go on into the
  // rotated file through the old descriptor meanwhile.
  size_t header_len = 0;
  bool header_written = false;
  const int fd = open_next(*this, rotated, cal, &header_len, &header_written);
  if (fd == -1) return;
  const int previous = swap_descriptor(
      *this, s, fd, header_written ? header_len : 0ul, header_written);
  writelog(LOGBIT_INTERNAL, "%s: open done now hflog %d  ", kRotate, fd);
  close(previous);
  writelog(LOGBIT_INTERNAL, "%s: prev_hflog %d  closed", kRotate, previous);
}
