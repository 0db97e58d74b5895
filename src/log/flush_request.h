// Flush requests as the write path raises them, below the flush itself:
// the flag that lets one flush run at a time, the threads that raise none,
// the wake-up of the flush thread, and the strict size limit's rotation
// requests and their answers. Nothing here writes a line or syncs.
#ifndef QELLOG_SRC_LOG_FLUSH_REQUEST_H
#define QELLOG_SRC_LOG_FLUSH_REQUEST_H

#include <mutex>

#include "log/log_state.h"

namespace qellog {

// True while the calling thread must not raise flush requests: on a log's
// flush thread (the request would find no waiter, and the thread may hold
// flush_mutex) and inside a rotation (which holds the lock a sync takes).
// The count carries on to the next line written elsewhere.
bool raises_no_flush();

// Raises none on the calling thread while it lives.
class NoFlushRequests {
 public:
  NoFlushRequests();
  ~NoFlushRequests();
  NoFlushRequests(const NoFlushRequests&) = delete;
  NoFlushRequests& operator=(const NoFlushRequests&) = delete;

 private:
  bool saved_;
};

// A file operation's hold on the log's rotate_mutex. A line the operation
// writes raises no flush request meanwhile: its sync would wait for this
// lock.
class RotationLock {
 public:
  explicit RotationLock(LogState& s) : guard_(s.rotate_mutex) {}

 private:
  NoFlushRequests no_flush_;
  std::lock_guard<std::mutex> guard_;
};

// Raises none on the calling thread for the rest of its life: the flush
// thread's first step.
void raise_no_flush_on_this_thread();

// The flush claim: exactly one flush is in progress per log; while it is,
// no other is raised and the count carries on. Lock-free.
bool claim_flush(LogState& s);
void release_flush(LogState& s);

// The one way to wake the flush thread: requesters lock flush_mutex only
// around the notify, so a wake-up sent while the thread is between its run
// test and its wait is never lost. Takes flush_mutex: never call it with
// that mutex held.
void wake_flush_thread(CQel_Log& log);

// The strict size limit's request (LogState::rotation_asked, already
// counted): wakes the flush thread for a turn, except on the flush thread
// itself (or in a rotation), which sees the request before it waits again.
void request_rotation(CQel_Log& log);

// True while a rotation asked for is not answered yet.
bool rotation_pending(const LogState& s);

// Blocks a writer until the flush thread has answered the rotation asked
// as `ticket` (rotated, or found it cannot), or no longer runs; at most a
// second, which only guards against a turn that never comes.
void wait_for_rotation(CQel_Log& log, unsigned ticket);

// The flush thread at the end of a turn: the rotations asked until
// `taken` are answered, and the writers waiting for them go on.
void answer_rotations(LogState& s, unsigned taken);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_FLUSH_REQUEST_H
