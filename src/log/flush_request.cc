#include "log/flush_request.h"

#include <chrono>

#include "log/hot_path.h"
#include "log/sync.h"

namespace qellog {
namespace {

QELLOG_FAST_TLS thread_local bool t_raises_no_flush = false;

}  // namespace

QELLOG_HOT bool raises_no_flush() { return t_raises_no_flush; }

NoFlushRequests::NoFlushRequests() : saved_(t_raises_no_flush) { t_raises_no_flush = true; }

NoFlushRequests::~NoFlushRequests() { t_raises_no_flush = saved_; }

void raise_no_flush_on_this_thread() { t_raises_no_flush = true; }

QELLOG_HOT bool claim_flush(LogState& s) { return !s.flush_busy.exchange(true); }

void release_flush(LogState& s) { s.flush_busy.store(false); }

void wake_flush_thread(CQel_Log& log) {
  std::lock_guard<std::mutex> guard(log.flush_mutex);
  LogAccess::state(log).wake_requested = true;
  log.flush_cond.notify_one();
}

void request_rotation(CQel_Log& log) {
  if (!raises_no_flush() && log.thread_run.load()) wake_flush_thread(log);
}

bool rotation_pending(const LogState& s) {
  return s.rotation_asked.load(std::memory_order_relaxed) !=
         s.rotation_answered.load(std::memory_order_relaxed);
}

void wait_for_rotation(CQel_Log& log, unsigned ticket) {
  LogState& s = LogAccess::state(log);
  std::unique_lock<std::mutex> lock(s.bound_mutex);
  // The flush thread answers every request before it ends.
  s.bound_cond.wait_for(lock, std::chrono::seconds(1), [&] {
    return static_cast<int>(s.rotation_answered.load(std::memory_order_relaxed) - ticket) >= 0 ||
           !log.thread_run.load();
  });
}

void answer_rotations(LogState& s, unsigned taken) {
  if (s.rotation_answered.load(std::memory_order_relaxed) == taken) return;
  {
    std::lock_guard<std::mutex> guard(s.bound_mutex);
    s.rotation_answered.store(taken, std::memory_order_relaxed);
  }
  s.bound_cond.notify_all();
}

}  // namespace qellog
