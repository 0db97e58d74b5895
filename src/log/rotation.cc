// Size-limited rotation: the file moves to a time-stamped name and the log
// goes on in a fresh file under its own name.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "log/internal.h"
#include "log/file_format.h"
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

bool write_whole(int fd, const char* data, size_t len) {
  ssize_t written;
  do {
    written = write(fd, data, len);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(len);
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
  // A flush raised by a line written here would sync under rotate_mutex_,
  // which this rotation holds.
  qellog::NoFlushRequests no_flush;
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

  // The header goes into the new file before any writer can reach it, so
  // it is the file's first piece; writers go on into the rotated file
  // meanwhile.
  char header[qellog::kHeaderCapacity];
  size_t n;
  {
    LockGuard guard(write_lock_);
    n = qellog::format_continuation_header(
        header, sizeof header, filename, cal,
        {lib_name, lib_vers, lib_created, lib_desc});
  }
  const bool header_written = write_whole(fd, header, n);
  if (!header_written) {
    std::fprintf(stderr, "Error in write to logfile %s: %d\n", filename, errno);
  }
  unsigned old_generation;
  {
    // The swap. Writers that took the old descriptor may still be inside
    // their write(2); they are waited for below, before it is closed.
    LockGuard guard(write_lock_);
    store(hflog, fd);
    old_generation = fd_generation_++;
    store(curfilesize, header_written ? static_cast<unsigned long>(n) : 0ul);
    if (header_written) store(msgcount, msgcount + 1);
  }
  auto& previous_writers = writes_in_flight_[old_generation & 1];
  while (previous_writers.load(std::memory_order_acquire) != 0) {
    std::this_thread::yield();
  }
  writelog(LOGBIT_INTERNAL, "%s: open done now hflog %d  ", kRotate, fd);
  close(prev_hflog);
  writelog(LOGBIT_INTERNAL, "%s: prev_hflog %d  closed", kRotate, prev_hflog);
}
