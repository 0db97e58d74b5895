#include "log/append.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "log/flush.h"
#include "log/lost_lines.h"
#include "log/sync.h"
#include "log/upkeep.h"

namespace qellog {

Append reserve_locked(CQel_Log& log, LogState& s, unsigned long len) {
  Append a;
  a.fd = log.hflog;
  a.generation = s.fd_generation;
  if (log.hflog == -1) return a;  // the write fails and is reported, uncounted
  // Counted before the write, so that a rotation, which swaps the
  // descriptor and resets the size under this lock, never mixes the bytes of
  // two files. A failed write takes its count back.
  store(log.curfilesize, log.curfilesize + len);
  store(log.msgcount, log.msgcount + 1);
  s.writes_in_flight[s.fd_generation & 1].fetch_add(1, std::memory_order_relaxed);
  a.counted = true;
  // Exactly one writer claims a flush, and none while one is in progress.
  a.claimed_flush = log.msgcount > load(log.flushcount) && !raises_no_flush() &&
                    claim_flush(s);
  return a;
}

bool complete_append(CQel_Log& log, LogState& s, const Append& a,
                     const char* data, unsigned long len) {
  // The descriptor has O_APPEND: the kernel puts each write at the end of
  // the file atomically, so no lseek is needed (or would help) before it.
  bool partial = false;
  const bool ok =
      a.counted && s.record_pending.load(std::memory_order_relaxed)
          ? write_with_record(log, s, a, data, len, &partial)
          : write_all(a.fd, data, len, &partial);
  if (!ok) {
    const int err = errno;
    report_write_error(log.filename, err);
    if (a.counted) {
      LockGuard guard(s.write_lock);
      if (s.fd_generation == a.generation) {
        store(log.curfilesize, log.curfilesize - len);
      }
      if (log.msgcount > 0) store(log.msgcount, log.msgcount - 1);
      note_lost_locked(s, err, partial);
    }
    if (a.claimed_flush) release_flush(s);
  }
  if (a.counted) {
    s.writes_in_flight[a.generation & 1].fetch_sub(1, std::memory_order_release);
  }
  return ok && a.claimed_flush;
}

void append_piece(CQel_Log& log, const char* data, unsigned long len) {
  LogState& s = LogAccess::state(log);
  Append a;
  {
    LockGuard guard(s.write_lock);
    a = reserve_locked(log, s, len);
  }
  // The flush is raised without the write lock: it takes flush_mutex, under
  // which the flush thread itself writes a line.
  if (complete_append(log, s, a, data, len)) raise_flush(log);
}

bool write_all(int fd, const char* data, size_t len, bool* partial) {
  const iovec one{const_cast<char*>(data), len};
  return write_pieces(fd, &one, 1, partial);
}

bool write_pieces(int fd, const iovec* pieces, int count, bool* partial) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
  ssize_t written;
  do {
    // A write cut short sets no errno: the report then says 0 rather than
    // repeating the cause of some earlier call.
    errno = 0;
    written = count == 1 ? write(fd, pieces[0].iov_base, pieces[0].iov_len)
                         : writev(fd, pieces, count);
  } while (written < 0 && errno == EINTR);
  if (partial != nullptr) *partial = written > 0;
  return written == static_cast<ssize_t>(total);
}

void report_write_error(const char* filename, int err) {
  std::fprintf(stderr, "Error in write to logfile %s: %d\n", filename, err);
}

int swap_descriptor(CQel_Log& log, LogState& s, int fd, unsigned long size,
                    unsigned long prior) {
  int previous;
  unsigned old_generation;
  {
    LockGuard guard(s.write_lock);
    previous = log.hflog;
    store(log.hflog, fd);
    old_generation = s.fd_generation++;
    store(log.curfilesize, size);
    s.prior_bytes.store(prior, std::memory_order_relaxed);
    store(log.msgcount, log.msgcount + 1);
    file_started_locked(s, size, prior);
  }
  // Writers that took the old descriptor may still be inside their
  // write(2); it is closed only once they have returned.
  auto& previous_writers = s.writes_in_flight[old_generation & 1];
  while (previous_writers.load(std::memory_order_acquire) != 0) {
    std::this_thread::yield();
  }
  return previous;
}

}  // namespace qellog
