// getpid and gettid are system calls as costly as the write of the line:
// each is made once per process and thread.
#include "log/process_ids.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "log/hot_path.h"
#include "log/sync.h"

namespace qellog {
namespace {

std::atomic<int> g_pid{0};
QELLOG_FAST_TLS thread_local int t_tid = 0;

// The child of fork() has a new process id, and its only thread (the one
// that forked) a new thread id.
void renew_ids_in_child() {
  g_pid.store(0, std::memory_order_relaxed);
  t_tid = 0;
}

struct AtforkRegistration {
  AtforkRegistration() { pthread_atfork(nullptr, nullptr, &renew_ids_in_child); }
} g_atfork_registration;

}  // namespace

QELLOG_HOT int cached_pid() {
  int pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<int>(getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

QELLOG_HOT int cached_tid() {
  if (t_tid == 0) t_tid = static_cast<int>(syscall(SYS_gettid));
  return t_tid;
}

}  // namespace qellog
