// Flush and stop requests, and the flush thread.
#include <unistd.h>

#include <system_error>

#include "log/internal.h"
#include "qellog/log.h"

using qellog::LockGuard;
using qellog::load;
using qellog::store;

namespace {

__attribute__((tls_model("initial-exec"))) thread_local bool t_raises_no_flush = false;

constexpr char kFlushlog[] = "flushlog";
constexpr char kThread[] = "msg_flush_thread";
constexpr char kStart[] = "start_flush_thread";
constexpr char kStop[] = "stop_flush_thread";

}  // namespace

bool qellog::raises_no_flush() { return t_raises_no_flush; }

qellog::NoFlushRequests::NoFlushRequests() : saved_(t_raises_no_flush) {
  t_raises_no_flush = true;
}

qellog::NoFlushRequests::~NoFlushRequests() { t_raises_no_flush = saved_; }

void CQel_Log::fsync_current() {
  // A rotation closes the descriptor it replaces; holding the rotation lock
  // keeps the sync on the descriptor it read.
  std::lock_guard<std::mutex> guard(rotate_mutex_);
  const int fd = load(hflog);
  if (fd != -1) fsync(fd);
}

void CQel_Log::flush_now() {
  unsigned counted;
  {
    LockGuard guard(write_lock_);
    if (hflog == -1) return;
    counted = msgcount;
    store(msgcount, 0u);
  }
  writelog(LOGBIT_INTERNAL, "%s: flushlog start %d", kFlushlog,
           static_cast<int>(counted));
  if (thread_run.load()) {
    {
      std::lock_guard<std::mutex> guard(flush_mutex);
      flush_cond.notify_one();
    }
    writelog(LOGBIT_INTERNAL, "%s: notify done", kFlushlog);
  } else {
    fsync_current();
  }
  writelog(LOGBIT_INTERNAL, "%s: flushlog done %d", kFlushlog,
           static_cast<int>(load(msgcount)));
}

void CQel_Log::raise_flush() {
  flush_now();
  flush_busy_.store(false);
}

void CQel_Log::flushlog() {
  // While this flush runs, its own lines (and everybody else's) raise no
  // further request; the count carries on to the next one.
  const bool claimed = !flush_busy_.exchange(true);
  flush_now();
  if (claimed) flush_busy_.store(false);
}

int CQel_Log::stop_flush_thread() {
  if (!thread_run.load() || !flush_thread.joinable()) return 0;
  thread_run.store(false);
  {
    std::lock_guard<std::mutex> guard(flush_mutex);
    flush_cond.notify_one();
  }
  writelog(LOGBIT_INTERNAL, "%s: wait until thread %d is closed", kStop,
           static_cast<int>(flush_thread.native_handle()));
  flush_thread.join();
  writelog(LOGBIT_INTERNAL, "%s: thread join done", kStop);
  return 0;
}

int CQel_Log::start_flush_thread() {
  if (thread_run.load()) {
    writelog(LOGBIT_INTERNAL, "%s: thread already running", kStart);
    return 0;
  }
  // Set before the thread exists, so that its first loop test finds it.
  thread_run.store(true);
  try {
    flush_thread = std::thread(&CQel_Log::msg_flush_thread, this);
  } catch (const std::system_error&) {
    writelog(LOGBIT_INTERNAL, "%s: create thread failed", kStart);
    thread_run.store(false);
    return -1;
  }
  writelog(LOGBIT_INTERNAL, "%s: thread %d created", kStart,
           static_cast<int>(flush_thread.native_handle()));
  return 0;
}

int CQel_Log::msg_flush_thread() {
  t_raises_no_flush = true;  // for the life of this thread
  writelog(LOGBIT_INTERNAL, "%s: start", kThread);
  while (thread_run.load()) {
    std::unique_lock<std::mutex> lock(flush_mutex);
    writelog(LOGBIT_INTERNAL, "%s: vor wait", kThread);
    // A stop may have cleared the flag after the loop test and notified
    // before this thread held the mutex; test again, under the mutex, or
    // that notify is lost and the join never returns.
    const bool stopped_before_wait = !thread_run.load();
    if (!stopped_before_wait) flush_cond.wait(lock);
    lock.unlock();
    if (!thread_run.load()) {
      writelog(LOGBIT_INTERNAL, "%s: thread_run false break_loop", kThread);
      break;
    }
    if (load(curfilesize) < load(maxfilesize)) {
      writelog(LOGBIT_INTERNAL, "%s: call fsync", kThread);
      {
        LockGuard guard(write_lock_);
        store(msgcount, 0u);
      }
      fsync_current();
      writelog(LOGBIT_INTERNAL, "%s: fsync done", kThread);
    } else {
      create_next_file();
    }
  }
  return 0;
}
