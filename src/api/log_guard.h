// Keeps the process log alive while calls use it, without a shared lock on
// the write path.
//
// Every thread that calls into the process log owns a hazard slot: before
// it uses the log it publishes the pointer in its slot and checks that the
// process-wide pointer still holds it. Tear-down first takes the log out of
// the process-wide pointer, then waits until no slot holds it, and only then
// deletes it. A call therefore costs one store with a full fence on a cache
// line that only its own thread writes, and nothing that other threads
// contend for. The library's load hook of this unit creates the key that
// hands a slot back when its thread exits, and a fork handler; its unload
// hook deletes the key again.
#ifndef QELLOG_SRC_API_LOG_GUARD_H
#define QELLOG_SRC_API_LOG_GUARD_H

#include <atomic>
#include <mutex>

class CQel_Log;

namespace qellog {

struct HazardSlot;

// Serialises set-up and tear-down of the process log, and carries the calls
// of a thread that can no longer own a slot (see LogBorrow).
std::mutex& setup_mutex();

// The log in `source` for the duration of one call, or null when there is
// none. While the object lives, the log it returned cannot be deleted by
// retire_log(). Not to be nested on one thread.
class LogBorrow {
 public:
  explicit LogBorrow(const std::atomic<CQel_Log*>& source);
  ~LogBorrow();
  LogBorrow(const LogBorrow&) = delete;
  LogBorrow& operator=(const LogBorrow&) = delete;

  CQel_Log* get() const { return log_; }

 private:
  CQel_Log* log_ = nullptr;
  HazardSlot* slot_ = nullptr;
  // Set when this thread's slot is gone (it is exiting) or none could be
  // allocated: the call then holds setup_mutex() instead.
  bool holds_setup_mutex_ = false;
};

// Swaps null into `source` and returns the log it held, once no borrow uses
// it any more; the caller deletes it. Null when there was none. REQUIRES:
// setup_mutex() held, and no LogBorrow alive on the calling thread.
CQel_Log* retire_log(std::atomic<CQel_Log*>& source);

}  // namespace qellog

#endif  // QELLOG_SRC_API_LOG_GUARD_H
