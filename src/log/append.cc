#include "log/append.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "log/calendar.h"
#include "log/flush_request.h"
#include "log/hot_path.h"
#include "log/line_text.h"
#include "log/lost_lines.h"
#include "log/sync.h"
#include "log/sys_calls.h"
#include "log/write_loop.h"

namespace qellog {

namespace {

// Waits until every piece on generation `g` reserved before the protocol
// turned careful has returned and noted what became of it: s.fragment then
// tells whether the file ends inside one. While the protocol stays careful (the caller holds
// careful_mutex, and only a careful write ends it) no plain piece is
// reserved, so the wait ends. Once it is no longer careful, plain pieces
// come and go again and are not waited for.
void wait_for_plain_pieces(LogState& s, unsigned g) {
  for (;;) {
    {
      LockGuard guard(s.write_lock);
      // All pieces first: a careful one ends its careful count first.
      const unsigned all = s.writes_in_flight.count(g);
      const unsigned careful = s.careful_in_flight[g & 1].load(std::memory_order_acquire);
      if (!s.careful.load(std::memory_order_relaxed) || all == careful) return;
    }
    std::this_thread::yield();
  }
}

// Under the write lock: the file ends inside a piece that a write cut
// short; the next piece starts with a line end.
void mark_cut_locked(LogState& s) {
  s.fragment = true;
  ++s.cut_pieces;
}

// Under the write lock, after a careful write of `head` bytes (a line end
// of `crlf` bytes and the record) before its piece, of which `written`
// reached the file. `cuts` is s.cut_pieces as the write found it when it
// decided on its line end: a piece noted as cut short since then may lie
// after this one, so the file may still end inside it.
void settle_locked(CQel_Log& log, LogState& s, const Append& a, size_t head, size_t written,
                   bool ok, size_t crlf, size_t rec_n, const TakenRecord& taken, unsigned cuts) {
  const bool current = s.fd_generation == a.generation;
  const bool cut_since = s.cut_pieces != cuts;
  if (ok) {
    if (current && !cut_since) s.fragment = false;
    if (!cut_since && s.pending_lost == 0 && sys.wall_clock() >= s.careful_until) {
      s.careful.store(false, std::memory_order_relaxed);
    }
    return;
  }
  if (written < head) {
    // The line end or the record was cut short: the record's count is due
    // again. A record that reached the file whole is never counted twice.
    if (current) store(log.curfilesize, log.curfilesize - crlf);
    if (rec_n != 0) put_back_record_locked(log, s, current, rec_n, taken);
    if (current && (crlf != 0 || written > 0)) mark_cut_locked(s);
  } else if (current) {
    if (written > head) {
      mark_cut_locked(s);
    } else if (!cut_since) {
      s.fragment = false;  // the head landed whole and ended a line
    }
  }
}

// The bytes of the current file as the strict size limit counts them:
// this object's and those the file held besides (earlier runs, other
// processes).
unsigned long held_locked(const CQel_Log& log, const LogState& s) {
  return log.curfilesize + s.prior_bytes.load(std::memory_order_relaxed);
}

// Under the write lock: one more rotation asked for, the current file's.
void ask_rotation_locked(LogState& s) {
  s.limit_asked = true;
  s.rotation_asked.fetch_add(1, std::memory_order_relaxed);
}

// What other processes write to the file is seen only by looking at its
// size: every 32nd of the limit (at least 256 bytes) that this object's
// count grows, so that each process sharing the file passes the bound by
// at most that much, and a file costs some 32 fstat(2)s.
unsigned long size_look_step(unsigned long limit) { return std::max(limit / 32, 256ul); }

// Under the write lock, with `len` bytes just counted: the strict size
// limit's view of the piece. The piece that takes the current file from
// below its limit to it asks for a rotation, and so does the first that
// finds the file at its limit with none asked for it (a file that came
// over it); a piece that finds the file at twice the limit while that
// rotation is still asked for will wait for it. A piece looks at the
// file's real size once the count has come to the next look.
QELLOG_HOT void judge_size_locked(const CQel_Log& log, LogState& s, unsigned long len, Append* a) {
  const unsigned long held = held_locked(log, s);
  const unsigned long limit = load(log.maxfilesize);
  a->reaches_limit = held >= limit && (held - len < limit || !s.limit_asked);
  if (a->reaches_limit) ask_rotation_locked(s);
  a->rotation_ticket = s.rotation_asked.load(std::memory_order_relaxed);
  a->over_bound = limit != 0 && held - len >= 2 * limit && !raises_no_flush() &&
                  a->rotation_ticket != s.rotation_answered.load(std::memory_order_relaxed);
  if (held >= s.next_size_look) {
    // The next look is due a step later whether or not this one is done:
    // a writer held up before its look never holds up the others'.
    a->looks_at_size = true;
    s.next_size_look = held + size_look_step(limit);
  }
}

// After the piece's own write, while its descriptor is still held: what
// the file holds beyond this object's count was written by others and
// counts as theirs (prior_bytes, never lowered here). A file that is found
// at its limit this way asks for its rotation like a piece that reaches it.
void look_at_size(CQel_Log& log, LogState& s, const Append& a) {
  struct stat st;
  const bool known = sys.fstat(a.fd, &st) == 0;
  bool asked = false;
  {
    LockGuard guard(s.write_lock);
    // A new current file has its own looks.
    if (s.fd_generation != a.generation) return;
    unsigned long held = held_locked(log, s);
    const unsigned long size = known ? static_cast<unsigned long>(st.st_size) : 0;
    if (size > held) {
      s.prior_bytes.store(size - log.curfilesize, std::memory_order_relaxed);
      held = size;
    }
    const unsigned long limit = load(log.maxfilesize);
    asked = held >= limit && !s.limit_asked;
    if (asked) ask_rotation_locked(s);
    s.next_size_look = held + size_look_step(limit);
  }
  if (asked) request_rotation(log);
}

}  // namespace

QELLOG_HOT Append reserve_locked(CQel_Log& log, LogState& s, unsigned long len, bool may_claim) {
  Append a;
  a.fd = log.hflog;
  a.generation = s.fd_generation;
  a.sigpipe = s.sigpipe;
  if (log.hflog == -1) return a;  // the write fails and is reported, uncounted
  // Counted before the write, so that a rotation, which swaps the
  // descriptor and resets the size under this lock, never mixes the bytes of
  // two files. A failed write takes its count back.
  store(log.curfilesize, log.curfilesize + len);
  store(log.msgcount, log.msgcount + 1);
  s.writes_in_flight.enter(s.fd_generation);
  if (s.careful.load(std::memory_order_relaxed)) {
    a.careful = true;
    s.careful_in_flight[s.fd_generation & 1].fetch_add(1, std::memory_order_relaxed);
  }
  a.counted = true;
  if (s.strict_size.load(std::memory_order_relaxed)) judge_size_locked(log, s, len, &a);
  // Exactly one writer claims a flush, and none while one is in progress.
  a.claimed_flush =
      may_claim && log.msgcount > load(log.flushcount) && !raises_no_flush() && claim_flush(s);
  return a;
}

bool ask_rotation_if_over_limit(CQel_Log& log, LogState& s) {
  if (!s.strict_size.load(std::memory_order_relaxed)) return false;
  LockGuard guard(s.write_lock);
  if (log.hflog == -1 || s.limit_asked || held_locked(log, s) < load(log.maxfilesize)) return false;
  ask_rotation_locked(s);
  return true;
}

Append reserve_record_locked(CQel_Log& log, LogState& s) {
  Append a;
  if (log.hflog == -1) return a;
  a.fd = log.hflog;
  a.generation = s.fd_generation;
  a.sigpipe = s.sigpipe;
  a.careful = true;
  s.writes_in_flight.enter(a.generation);
  s.careful_in_flight[a.generation & 1].fetch_add(1, std::memory_order_relaxed);
  return a;
}

QELLOG_HOT bool complete_append(CQel_Log& log, LogState& s, const Append& reserved,
                                const char* data, unsigned long len) {
  if (sys.append_step != nullptr) sys.append_step(AppendStep::kReserved, data, len);
  // A write that failed since this piece was reserved may have cut its
  // piece short, and not be noted yet: this piece then goes the careful
  // way too.
  Append a = reserved;
  if (a.counted && !a.careful && s.careful.load(std::memory_order_relaxed)) {
    LockGuard guard(s.write_lock);
    s.careful_in_flight[a.generation & 1].fetch_add(1, std::memory_order_relaxed);
    a.careful = true;
  }
  // The descriptor has O_APPEND: the kernel puts each write at the end of
  // the file atomically, so no lseek is needed (or would help) before it.
  bool partial = false;
  const bool ok = a.careful ? write_carefully(log, s, a, data, len)
                            : write_all(a.fd, data, len, &partial, a.sigpipe);
  if (!ok) {
    const int err = errno;
    // The name is read under the write lock: a move of the log changes it.
    char name[sizeof log.filename];
    {
      LockGuard guard(s.write_lock);
      std::strcpy(name, log.filename);
      if (a.counted) {
        if (s.fd_generation == a.generation) {
          store(log.curfilesize, log.curfilesize - len);
          // The file now ends inside this piece (a careful write has said
          // so itself).
          if (partial) mark_cut_locked(s);
        }
        if (log.msgcount > 0) store(log.msgcount, log.msgcount - 1);
        note_lost_locked(s, err);
      }
    }
    report_write_error(name, err);
    if (a.claimed_flush) release_flush(s);
  } else if (a.reaches_limit) {
    request_rotation(log);
  }
  if (a.looks_at_size) look_at_size(log, s, a);
  if (a.counted) finish_append(s, a);
  if (a.over_bound) wait_for_rotation(log, a.rotation_ticket);
  return ok && a.claimed_flush;
}

QELLOG_HOT void finish_append(LogState& s, const Append& a) {
  // The careful count first: a waiter that reads all pieces before the
  // careful ones then never sees fewer plain pieces than there are.
  if (a.careful) {
    s.careful_in_flight[a.generation & 1].fetch_sub(1, std::memory_order_release);
  }
  s.writes_in_flight.leave(a.generation);
}

bool write_carefully(CQel_Log& log, LogState& s, const Append& a, const char* data, size_t len) {
  std::lock_guard<std::mutex> one_at_a_time(s.careful_mutex);
  wait_for_plain_pieces(s, a.generation);
  char rec[kRecordCapacity];
  TakenRecord taken;
  size_t rec_n;
  // The line end that first ends a fragment: CR LF, or LF alone.
  const bool lf_only = s.lf_only.load(std::memory_order_relaxed);
  size_t crlf;
  unsigned cuts;
  {
    LockGuard guard(s.write_lock);
    const bool current = s.fd_generation == a.generation;
    crlf = s.fragment && current ? line_end_length(lf_only) : 0;
    cuts = s.cut_pieces;
    store(log.curfilesize, log.curfilesize + crlf);
    rec_n = take_record_locked(log, s, current, rec, &taken);
  }
  if (sys.append_step != nullptr) sys.append_step(AppendStep::kCarefulTurn, data, len);
  const size_t head = crlf + rec_n;
  const iovec pieces[3] = {
      {const_cast<char*>(line_end(lf_only)), crlf}, {rec, rec_n}, {const_cast<char*>(data), len}};
  size_t written = 0;
  const bool ok = write_pieces(a.fd, pieces, 3, &written, a.sigpipe);
  const int err = errno;
  if (sys.append_step != nullptr) sys.append_step(AppendStep::kCarefulWritten, data, len);
  {
    LockGuard guard(s.write_lock);
    settle_locked(log, s, a, head, written, ok, crlf, rec_n, taken, cuts);
  }
  errno = err;
  return ok;
}

void write_pending_record(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  if (!s.record_pending.load(std::memory_order_relaxed)) return;
  Append a;
  {
    LockGuard guard(s.write_lock);
    if (s.pending_lost == 0) return;
    a = reserve_record_locked(log, s);
  }
  if (a.fd == -1) return;
  write_carefully(log, s, a, "", 0);
  finish_append(s, a);
}

int swap_descriptor(CQel_Log& log, LogState& s, int fd, unsigned long size, unsigned long prior,
                    time_t began, unsigned long long* wrote) {
  int previous;
  unsigned old_generation;
  {
    LockGuard guard(s.write_lock);
    old_generation = publish_descriptor_locked(log, s, fd, size, prior, began, &previous, wrote);
  }
  wait_for_writes(s, old_generation);
  return previous;
}

unsigned publish_descriptor_locked(CQel_Log& log, LogState& s, int fd, unsigned long size,
                                   unsigned long prior, time_t began, int* previous,
                                   unsigned long long* wrote) {
  *previous = log.hflog;
  if (wrote != nullptr) *wrote = log.curfilesize;
  store(log.hflog, fd);
  const unsigned old_generation = s.fd_generation++;
  store(log.curfilesize, size);
  s.prior_bytes.store(prior, std::memory_order_relaxed);
  store(log.msgcount, log.msgcount + 1);
  s.file_started_locked(size, prior, began);
  return old_generation;
}

void wait_for_writes(LogState& s, unsigned generation) {
  // Writers that took the old descriptor may still be inside their
  // write(2); it is closed only once they have returned.
  while (s.writes_in_flight.count(generation) != 0) {
    std::this_thread::yield();
  }
}

}  // namespace qellog
