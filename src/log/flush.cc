#include "log/flush.h"

#include <unistd.h>

#include <chrono>

#include "log/flush_request.h"
#include "log/message.h"
#include "log/rotation.h"
#include "log/sync.h"
#include "log/sys_calls.h"
#include "log/upkeep.h"

namespace qellog {
namespace {

constexpr char kFlushlog[] = "flushlog";
constexpr char kThread[] = "msg_flush_thread";

void fsync_current(CQel_Log& log) {
  // A rotation closes the descriptor it replaces; holding the rotation lock
  // keeps the sync on the descriptor it read.
  LogState& s = LogAccess::state(log);
  std::lock_guard<std::mutex> guard(s.rotate_mutex);
  const int fd = load(log.hflog);
  if (fd != -1 && !s.no_sync) sys.fsync(fd);
}

// Waits under `lock` until a request or a stop comes; between them, timed
// wake-ups do what is due and write nothing else.
void wait_with_upkeep(CQel_Log& log, std::unique_lock<std::mutex>& lock) {
  LogState& s = LogAccess::state(log);
  for (;;) {
    // A stop may have cleared the flag after the loop test and notified
    // before this thread held the mutex; test again, under the mutex, or
    // that notify is lost and the join never returns.
    if (!log.thread_run.load()) return;
    const long ms = upkeep_wait_ms(log);
    // A rotation asked for by the strict size limit is never lost, even
    // when it was asked while this thread was busy.
    const bool rotation_asked = rotation_pending(s);
    if (ms < 0) {
      if (!rotation_asked) log.flush_cond.wait(lock);
      return;
    }
    if (rotation_asked || log.flush_cond.wait_for(lock, std::chrono::milliseconds(ms), [&] {
          return s.wake_requested || !log.thread_run.load();
        })) {
      return;
    }
    lock.unlock();
    on_timed_wakeup(log);
    lock.lock();
  }
}

// Waits for a request; false when the thread is to end. `*taken` is what
// the strict size limit had asked for when the turn began.
bool wait_for_request(CQel_Log& log, unsigned* taken) {
  std::unique_lock<std::mutex> lock(log.flush_mutex);
  diagnostic(log, "%s: vor wait", kThread);
  wait_with_upkeep(log, lock);
  LogState& s = LogAccess::state(log);
  s.wake_requested = false;
  *taken = s.rotation_asked.load(std::memory_order_relaxed);
  lock.unlock();
  if (log.thread_run.load()) return true;
  diagnostic(log, "%s: thread_run false break_loop", kThread);
  return false;
}

void sync_file(CQel_Log& log) {
  diagnostic(log, "%s: call fsync", kThread);
  {
    LockGuard guard(LogAccess::state(log).write_lock);
    store(log.msgcount, 0u);
  }
  fsync_current(log);
  diagnostic(log, "%s: fsync done", kThread);
}

}  // namespace

void flush_now(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  unsigned counted;
  {
    LockGuard guard(s.write_lock);
    if (log.hflog == -1) return;
    counted = log.msgcount;
    store(log.msgcount, 0u);
  }
  diagnostic(log, "%s: flushlog start %d", kFlushlog, static_cast<int>(counted));
  if (log.thread_run.load()) {
    wake_flush_thread(log);
    diagnostic(log, "%s: notify done", kFlushlog);
  } else {
    fsync_current(log);
  }
  diagnostic(log, "%s: flushlog done %d", kFlushlog, static_cast<int>(load(log.msgcount)));
}

void raise_flush(CQel_Log& log) {
  flush_now(log);
  release_flush(LogAccess::state(log));
}

void run_flush_thread(CQel_Log& log) {
  raise_no_flush_on_this_thread();
  diagnostic(log, "%s: start", kThread);
  LogState& s = LogAccess::state(log);
  unsigned taken = s.rotation_asked.load(std::memory_order_relaxed);
  at_first_turn(log);
  while (log.thread_run.load()) {
    if (!wait_for_request(log, &taken)) break;
    before_request(log);
    // Time rotation is judged at every turn, also when requests keep the
    // thread from ever waiting out a timed wake-up.
    const bool due = rotation_due(log);
    const bool rotated = due && rotate(log);
    if (!due) sync_file(log);
    // Writers held back by the strict size limit go on before retention's
    // pass over the directory.
    answer_rotations(s, taken);
    if (rotated) after_rotation(log);
  }
  // No writer waits for a thread that has ended.
  answer_rotations(s, s.rotation_asked.load(std::memory_order_relaxed));
}

}  // namespace qellog
