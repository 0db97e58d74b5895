#include "log/lost_lines.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "log/line_format.h"
#include "log/process_ids.h"
#include "log/sync.h"

namespace qellog {
namespace {

constexpr size_t kRecordCapacity = kLineCapacity + 2;

// A record taken out of the log's state for one attempt; put back when the
// attempt fails, so its count reaches the next one.
struct TakenRecord {
  unsigned long count = 0;
  timeval first{};
  int error = 0;
  bool fragment = false;
};

// Under the write lock.
TakenRecord take_locked(LogState& s) {
  TakenRecord t{s.pending_lost, s.first_lost, s.last_error, s.fragment};
  s.pending_lost = 0;
  s.fragment = false;
  s.record_pending.store(false, std::memory_order_relaxed);
  return t;
}

// Under the write lock. Losses noted meanwhile came later: the count adds
// up, the first loss is the taken one's, the last error stays the newer.
void put_back_locked(LogState& s, const TakenRecord& t) {
  if (s.pending_lost == 0) {
    s.last_error = t.error;
    s.fragment = t.fragment;
  }
  s.first_lost = t.first;
  s.pending_lost += t.count;
  s.record_pending.store(true, std::memory_order_relaxed);
}

// The record and the accounting of its bytes, under the write lock, for a
// write on the descriptor of `generation`.
size_t prepare_locked(CQel_Log& log, LogState& s, unsigned generation,
                      char* rec, TakenRecord* taken) {
  const size_t n = format_record(log, s, rec, kRecordCapacity);
  *taken = take_locked(s);
  if (s.fd_generation == generation) store(log.curfilesize, log.curfilesize + n);
  return n;
}

void undo_locked(CQel_Log& log, LogState& s, unsigned generation, size_t n,
                 const TakenRecord& taken) {
  if (s.fd_generation == generation) store(log.curfilesize, log.curfilesize - n);
  put_back_locked(s, taken);
}

}  // namespace

void note_lost_locked(LogState& s, int err, bool partial) {
  s.lost_count.fetch_add(1, std::memory_order_relaxed);
  if (!s.lost_lines_record.load(std::memory_order_relaxed)) return;
  if (s.pending_lost == 0) gettimeofday(&s.first_lost, nullptr);
  ++s.pending_lost;
  s.last_error = err;
  // A fragment stays open until a record ends it, whatever fails meanwhile.
  s.fragment = s.fragment || partial;
  s.record_pending.store(true, std::memory_order_relaxed);
}

size_t format_record(CQel_Log& log, LogState& s, char* buf, size_t cap) {
  size_t n = 0;
  if (s.fragment && cap > 2) {
    buf[n++] = '\r';
    buf[n++] = '\n';
  }
  LineFields f = line_fields(log.logbits,
                             s.iso_time.load(std::memory_order_relaxed), true,
                             false, 0);
  gettimeofday(&f.now, nullptr);
  f.last = log.last_time;
  const size_t text_max = std::min(kLineTextMax, cap - n - 3);
  size_t len = format_prefix(f, buf + n, text_max);
  struct tm cal;
  local_calendar(s.first_lost.tv_sec, &cal);
  const int t = std::snprintf(
      buf + n + len, text_max - len + 1,
      "write_to_file: %lu lines lost since %02d.%02d.%04d %02d:%02d:%02d.%03d, "
      "last error %d",
      s.pending_lost, cal.tm_mday, cal.tm_mon + 1, cal.tm_year + 1900,
      cal.tm_hour, cal.tm_min, cal.tm_sec,
      static_cast<int>(s.first_lost.tv_usec / 1000), s.last_error);
  len += std::min(static_cast<size_t>(t > 0 ? t : 0), text_max - len);
  n += len;
  buf[n++] = '\r';
  buf[n++] = '\n';
  return n;
}

bool write_with_record(CQel_Log& log, LogState& s, const Append& a,
                       const char* data, size_t len, bool* partial) {
  char rec[kRecordCapacity];
  size_t n = 0;
  TakenRecord taken;
  bool pending;
  {
    LockGuard guard(s.write_lock);
    pending = s.pending_lost != 0;  // another writer may have taken it
    if (pending) n = prepare_locked(log, s, a.generation, rec, &taken);
  }
  if (!pending) return write_all(a.fd, data, len, partial);
  const iovec pieces[2] = {{rec, n}, {const_cast<char*>(data), len}};
  if (write_pieces(a.fd, pieces, 2, partial)) return true;
  const int err = errno;
  {
    LockGuard guard(s.write_lock);
    undo_locked(log, s, a.generation, n, taken);
  }
  errno = err;
  return false;
}

void write_pending_record(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  if (!s.record_pending.load(std::memory_order_relaxed)) return;
  char rec[kRecordCapacity];
  size_t n;
  TakenRecord taken;
  int fd;
  unsigned generation;
  {
    LockGuard guard(s.write_lock);
    if (log.hflog == -1 || s.pending_lost == 0) return;
    fd = log.hflog;
    generation = s.fd_generation;
    n = prepare_locked(log, s, generation, rec, &taken);
    s.writes_in_flight[generation & 1].fetch_add(1, std::memory_order_relaxed);
  }
  if (!write_all(fd, rec, n)) {
    LockGuard guard(s.write_lock);
    undo_locked(log, s, generation, n, taken);
  }
  s.writes_in_flight[generation & 1].fetch_sub(1, std::memory_order_release);
}

}  // namespace qellog
