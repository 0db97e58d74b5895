// fork() copies a process's logs into the child with only the forking
// thread. Without care the child inherits a write lock that some other
// thread held at that moment, and a flush thread, mutexes and a run flag
// that belong to a thread it does not have. The handlers below take every
// log's write lock around fork(), so that no line is half done, and give the
// child's copies a fresh, thread-less state: it logs on with inline syncs.
#include <pthread.h>

#include <mutex>
#include <new>

#include "qellog/log.h"

namespace {

std::mutex g_list_mutex;
CQel_Log* g_first_log = nullptr;

}  // namespace

// Installed before any other handler of the library (priority 101), so that
// at fork() these run after the others' preparations: the process-wide
// log's set-up lock is taken first, and no set-up can then be waiting for a
// log's write lock held here.
struct qellog::ForkHandlers {
  ForkHandlers() {
    pthread_atfork(&CQel_Log::before_fork, &CQel_Log::after_fork_in_parent,
                   &CQel_Log::after_fork_in_child);
  }
};

namespace {
qellog::ForkHandlers g_fork_handlers __attribute__((init_priority(101)));
}  // namespace

void CQel_Log::enlist() {
  std::lock_guard<std::mutex> guard(g_list_mutex);
  prev_log_ = nullptr;
  next_log_ = g_first_log;
  if (g_first_log != nullptr) g_first_log->prev_log_ = this;
  g_first_log = this;
}

void CQel_Log::delist() {
  std::lock_guard<std::mutex> guard(g_list_mutex);
  if (prev_log_ != nullptr) {
    prev_log_->next_log_ = next_log_;
  } else {
    g_first_log = next_log_;
  }
  if (next_log_ != nullptr) next_log_->prev_log_ = prev_log_;
}

// The list mutex stays locked until after the fork, so no log comes or goes
// meanwhile. A writer holds a write lock only for one write(2), so these
// waits are short.
void CQel_Log::before_fork() {
  g_list_mutex.lock();
  for (CQel_Log* log = g_first_log; log != nullptr; log = log->next_log_) {
    pthread_mutex_lock(&log->write_lock_);
  }
}

void CQel_Log::after_fork_in_parent() {
  for (CQel_Log* log = g_first_log; log != nullptr; log = log->next_log_) {
    pthread_mutex_unlock(&log->write_lock_);
  }
  g_list_mutex.unlock();
}

void CQel_Log::after_fork_in_child() {
  for (CQel_Log* log = g_first_log; log != nullptr; log = log->next_log_) {
    pthread_mutex_unlock(&log->write_lock_);
    // The flush thread, and whatever locks it held, stayed in the parent.
    // The handle is overwritten, not destroyed: destroying a joinable
    // std::thread terminates, and joining it here would be undefined.
    new (&log->flush_thread) std::thread();
    new (&log->flush_mutex) std::mutex();
    new (&log->flush_cond) std::condition_variable();
    new (&log->rotate_mutex_) std::mutex();
    log->thread_run.store(false);
    log->flush_busy_.store(false);
    // Writes of other threads that were under way stay in the parent.
    log->writes_in_flight_[0].store(0);
    log->writes_in_flight_[1].store(0);
  }
  g_list_mutex.unlock();
}
