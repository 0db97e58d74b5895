// Flush requests and the flush thread's hand-over, shared by the write
// path, rotation and the destructor.
#ifndef QELLOG_SRC_LOG_FLUSH_H
#define QELLOG_SRC_LOG_FLUSH_H

#include "log/log_state.h"

namespace qellog {

// True while the calling thread must not raise flush requests: on a log's
// flush thread (the request would find no waiter, and the thread may hold
// flush_mutex) and inside a rotation (which holds the lock a sync takes).
// The count carries on to the next line written elsewhere.
bool raises_no_flush();

class NoFlushRequests {
 public:
  NoFlushRequests();
  ~NoFlushRequests();
  NoFlushRequests(const NoFlushRequests&) = delete;
  NoFlushRequests& operator=(const NoFlushRequests&) = delete;

 private:
  bool saved_;
};

// The flush claim: exactly one flush is in progress per log; while it is,
// no other is raised and the count carries on.
bool claim_flush(LogState& s);
void release_flush(LogState& s);

// Runs the flush that the caller claimed and releases the claim.
void raise_flush(CQel_Log& log);

// The strict size limit's request (LogState::rotation_asked, already
// counted): wakes the flush thread for a turn, except on the flush thread
// itself (or in a rotation), which sees the request before it waits again.
void request_rotation(CQel_Log& log);

// Blocks a writer until the flush thread has answered the rotation asked
// as `ticket` (rotated, or found it cannot), or no longer runs. Returns at
// once on the flush thread and in a rotation.
void wait_for_rotation(CQel_Log& log, unsigned ticket);

// Stops the flush thread quietly when its handle is still joinable (also
// when the run flag was cleared from outside without a join).
void join_flush_thread(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_FLUSH_H
