// fork() copies a process's logs into the child with only the forking
// thread. Without care the child inherits a write lock that some other
// thread held at that moment, and a flush thread, mutexes and a run flag
// that belong to a thread it does not have. The handlers below take every
// log's write lock around fork(), so that no line is half done, and give the
// child's copies a fresh, thread-less state: it logs on with inline syncs.
#include <pthread.h>

#include <mutex>
#include <new>

#include "log/log_state.h"

namespace qellog {
namespace {

std::mutex g_list_mutex;
CQel_Log* g_first_log = nullptr;

LogState& state(CQel_Log* log) { return LogAccess::state(*log); }

// The list mutex stays locked until after the fork, so no log comes or goes
// meanwhile. A writer holds a write lock only to count its line, never
// across its write(2), so these waits are short.
void before_fork() {
  g_list_mutex.lock();
  for (CQel_Log* log = g_first_log; log != nullptr; log = state(log).next_log) {
    pthread_mutex_lock(&state(log).write_lock);
  }
}

void after_fork_in_parent() {
  for (CQel_Log* log = g_first_log; log != nullptr; log = state(log).next_log) {
    pthread_mutex_unlock(&state(log).write_lock);
  }
  g_list_mutex.unlock();
}

void after_fork_in_child() {
  for (CQel_Log* log = g_first_log; log != nullptr; log = state(log).next_log) {
    LogState& s = state(log);
    pthread_mutex_unlock(&s.write_lock);
    // The flush thread, and whatever locks it held, stayed in the parent.
    // The handle is overwritten, not destroyed: destroying a joinable
    // std::thread terminates, and joining it here would be undefined.
    new (&log->flush_thread) std::thread();
    new (&log->flush_mutex) std::mutex();
    new (&log->flush_cond) std::condition_variable();
    new (&s.rotate_mutex) std::mutex();
    new (&s.careful_mutex) std::mutex();
    log->thread_run.store(false);
    s.flush_busy.store(false);
    s.wake_requested = false;
    // Writes of other threads that were under way stay in the parent.
    s.writes_in_flight.reset();
    s.careful_in_flight[0].store(0);
    s.careful_in_flight[1].store(0);
  }
  g_list_mutex.unlock();
}

// Installed before any other handler of the library (priority 101), so that
// at fork() these run after the others' preparations: the process-wide
// log's set-up lock is taken first, and no set-up can then be waiting for a
// log's write lock held here.
struct ForkHandlers {
  ForkHandlers() { pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child); }
};
ForkHandlers g_fork_handlers __attribute__((init_priority(101)));

}  // namespace

void enlist(CQel_Log& log) {
  std::lock_guard<std::mutex> guard(g_list_mutex);
  LogState& s = LogAccess::state(log);
  s.prev_log = nullptr;
  s.next_log = g_first_log;
  if (g_first_log != nullptr) state(g_first_log).prev_log = &log;
  g_first_log = &log;
}

void delist(CQel_Log& log) {
  std::lock_guard<std::mutex> guard(g_list_mutex);
  LogState& s = LogAccess::state(log);
  if (s.prev_log != nullptr) {
    state(s.prev_log).next_log = s.next_log;
  } else {
    g_first_log = s.next_log;
  }
  if (s.next_log != nullptr) state(s.next_log).prev_log = s.prev_log;
}

}  // namespace qellog
