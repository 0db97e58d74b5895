// Flush and stop requests, and the flush thread.
#include "log/flush.h"

#include <unistd.h>

#include <chrono>
#include <system_error>

#include "log/rotation.h"
#include "log/sync.h"
#include "log/upkeep.h"

namespace qellog {
namespace {

QELLOG_FAST_TLS thread_local bool t_raises_no_flush = false;

constexpr char kFlushlog[] = "flushlog";
constexpr char kThread[] = "msg_flush_thread";
constexpr char kStart[] = "start_flush_thread";
constexpr char kStop[] = "stop_flush_thread";

// The one way to wake the flush thread: requesters lock flush_mutex only
// around the notify, so a wake-up sent while the thread is between its run
// test and its wait is never lost.
void wake_flush_thread(CQel_Log& log) {
  std::lock_guard<std::mutex> guard(log.flush_mutex);
  LogAccess::state(log).wake_requested = true;
  log.flush_cond.notify_one();
}

void fsync_current(CQel_Log& log) {
  // A rotation closes the descriptor it replaces; holding the rotation lock
  // keeps the sync on the descriptor it read.
  LogState& s = LogAccess::state(log);
  std::lock_guard<std::mutex> guard(s.rotate_mutex);
  const int fd = load(log.hflog);
  if (fd != -1 && !s.no_sync) fsync(fd);
}

void flush_now(CQel_Log& log) {
  LogState& s = LogAccess::state(log);
  unsigned counted;
  {
    LockGuard guard(s.write_lock);
    if (log.hflog == -1) return;
    counted = log.msgcount;
    store(log.msgcount, 0u);
  }
  log.writelog(LOGBIT_INTERNAL, "%s: flushlog start %d", kFlushlog,
               static_cast<int>(counted));
  if (log.thread_run.load()) {
    wake_flush_thread(log);
    log.writelog(LOGBIT_INTERNAL, "%s: notify done", kFlushlog);
  } else {
    fsync_current(log);
  }
  log.writelog(LOGBIT_INTERNAL, "%s: flushlog done %d", kFlushlog,
               static_cast<int>(load(log.msgcount)));
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
    const bool rotation_asked = s.rotation_asked.load(std::memory_order_relaxed) !=
                                s.rotation_answered.load(std::memory_order_relaxed);
    if (ms < 0) {
      if (!rotation_asked) log.flush_cond.wait(lock);
      return;
    }
    if (rotation_asked ||
        log.flush_cond.wait_for(lock, std::chrono::milliseconds(ms), [&] {
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
  log.writelog(LOGBIT_INTERNAL, "%s: vor wait", kThread);
  wait_with_upkeep(log, lock);
  LogState& s = LogAccess::state(log);
  s.wake_requested = false;
  *taken = s.rotation_asked.load(std::memory_order_relaxed);
  lock.unlock();
  if (log.thread_run.load()) return true;
  log.writelog(LOGBIT_INTERNAL, "%s: thread_run false break_loop", kThread);
  return false;
}

void sync_file(CQel_Log& log) {
  log.writelog(LOGBIT_INTERNAL, "%s: call fsync", kThread);
  {
    LockGuard guard(LogAccess::state(log).write_lock);
    store(log.msgcount, 0u);
  }
  fsync_current(log);
  log.writelog(LOGBIT_INTERNAL, "%s: fsync done", kThread);
}

// At the end of a turn: the rotations asked until it began are answered,
// rotated or not (a rotation that failed is tried again at the next flush
// request, not at every line).
void answer_rotations(LogState& s, unsigned taken) {
  if (s.rotation_answered.load(std::memory_order_relaxed) == taken) return;
  {
    std::lock_guard<std::mutex> guard(s.bound_mutex);
    s.rotation_answered.store(taken, std::memory_order_relaxed);
  }
  s.bound_cond.notify_all();
}

}  // namespace

bool raises_no_flush() { return t_raises_no_flush; }

NoFlushRequests::NoFlushRequests() : saved_(t_raises_no_flush) {
  t_raises_no_flush = true;
}

NoFlushRequests::~NoFlushRequests() { t_raises_no_flush = saved_; }

bool claim_flush(LogState& s) { return !s.flush_busy.exchange(true); }

void release_flush(LogState& s) { s.flush_busy.store(false); }

void raise_flush(CQel_Log& log) {
  flush_now(log);
  release_flush(LogAccess::state(log));
}

void request_rotation(CQel_Log& log) {
  if (!raises_no_flush() && log.thread_run.load()) wake_flush_thread(log);
}

void wait_for_rotation(CQel_Log& log, unsigned ticket) {
  LogState& s = LogAccess::state(log);
  std::unique_lock<std::mutex> lock(s.bound_mutex);
  // The time limit only guards against a turn that never comes; the flush
  // thread answers every request before it ends.
  s.bound_cond.wait_for(lock, std::chrono::seconds(1), [&] {
    return static_cast<int>(s.rotation_answered.load(std::memory_order_relaxed) - ticket) >= 0 ||
           !log.thread_run.load();
  });
}

void join_flush_thread(CQel_Log& log) {
  if (!log.flush_thread.joinable()) return;
  log.thread_run.store(false);
  wake_flush_thread(log);
  log.flush_thread.join();
}

}  // namespace qellog

using qellog::LogAccess;

void CQel_Log::flushlog() {
  // While this flush runs, its own lines (and everybody else's) raise no
  // further request; the count carries on to the next one.
  qellog::LogState& s = LogAccess::state(*this);
  const bool claimed = qellog::claim_flush(s);
  qellog::flush_now(*this);
  if (claimed) qellog::release_flush(s);
}

int CQel_Log::stop_flush_thread() {
  if (!thread_run.load() || !flush_thread.joinable()) return 0;
  thread_run.store(false);
  qellog::wake_flush_thread(*this);
  writelog(LOGBIT_INTERNAL, "%s: wait until thread %d is closed", qellog::kStop,
           static_cast<int>(flush_thread.native_handle()));
  flush_thread.join();
  writelog(LOGBIT_INTERNAL, "%s: thread join done", qellog::kStop);
  return 0;
}

int CQel_Log::start_flush_thread() {
  if (thread_run.load()) {
    writelog(LOGBIT_INTERNAL, "%s: thread already running", qellog::kStart);
    return 0;
  }
  // Set before the thread exists, so that its first loop test finds it.
  thread_run.store(true);
  try {
    flush_thread = std::thread(&CQel_Log::msg_flush_thread, this);
  } catch (const std::system_error&) {
    writelog(LOGBIT_INTERNAL, "%s: create thread failed", qellog::kStart);
    thread_run.store(false);
    return -1;
  }
  writelog(LOGBIT_INTERNAL, "%s: thread %d created", qellog::kStart,
           static_cast<int>(flush_thread.native_handle()));
  return 0;
}

int CQel_Log::msg_flush_thread() {
  qellog::t_raises_no_flush = true;  // for the life of this thread
  writelog(LOGBIT_INTERNAL, "%s: start", qellog::kThread);
  qellog::LogState& s = LogAccess::state(*this);
  unsigned taken = s.rotation_asked.load(std::memory_order_relaxed);
  while (thread_run.load()) {
    if (!qellog::wait_for_request(*this, &taken)) break;
    qellog::before_request(*this);
    // Time rotation is judged at every turn, also when requests keep the
    // thread from ever waiting out a timed wake-up.
    const bool due = qellog::rotation_due(*this);
    const bool rotated = due && qellog::rotate(*this);
    if (!due) qellog::sync_file(*this);
    // Writers held back by the strict size limit go on before retention's
    // pass over the directory.
    qellog::answer_rotations(s, taken);
    if (rotated) qellog::after_rotation(*this);
  }
  // No writer waits for a thread that has ended.
  qellog::answer_rotations(s, s.rotation_asked.load(std::memory_order_relaxed));
  return 0;
}
