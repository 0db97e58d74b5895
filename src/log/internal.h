// Internals shared by the log engine's translation units.
#ifndef QELLOG_SRC_LOG_INTERNAL_H
#define QELLOG_SRC_LOG_INTERNAL_H

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>

namespace qellog {

// Fields of the public data model that several threads touch (counters,
// settings, the descriptor) are plain members; every access outside the
// write lock goes through these relaxed atomic accessors, so that readers
// never race with the writers.
template <typename T>
inline T load(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
template <typename T>
inline void store(T& field, T value) {
  __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}
inline void store_time(timeval& field, const timeval& value) {
  store(field.tv_sec, value.tv_sec);
  store(field.tv_usec, value.tv_usec);
}

class LockGuard {
 public:
  explicit LockGuard(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
  ~LockGuard() { pthread_mutex_unlock(&m_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  pthread_mutex_t& m_;
};

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

// Line capacity: 297 characters, CR LF and the terminator.
constexpr size_t kLineCapacity = 300;
constexpr size_t kLineTextMax = kLineCapacity - 3;

// Local calendar time of `sec`. Cached per thread for the current second:
// localtime_r takes a process-wide lock in glibc.
void local_calendar(time_t sec, struct tm* out);
// tzset(), and forgets the cached calendar readings of every thread.
void renew_time_zone();

// The process id, cached and renewed in the child after fork().
int cached_pid();
// The calling thread's kernel thread id, cached per thread.
int cached_tid();

// Pieces of a message line, each appended at `pos` of a kLineCapacity
// buffer and bounded by it. They return the new position.
struct LineFields {
  bool time = false;
  bool delta = false;
  bool pid_tid = false;
  bool cpu = false;
  bool value = false;
  bool error_tag = false;
  timeval now{};
  timeval last{};
  int pid = 0;
  int tid = 0;
  int cpu_no = 0;
  unsigned value_bits = 0;
};
// Writes the prefix fields (time, elapsed, pid:tid, cpu, value, tag) in
// that order into `buf` and returns their length.
size_t format_prefix(const LineFields& f, char* buf, size_t cap);
// The elapsed-time field's two numbers for the gap from `last` to `now`:
// milliseconds modulo 1,000,000 (computed in 64 bits, so gaps of 2^31 ms
// and more still wrap every 1000 s) and the microsecond rest.
void elapsed_parts(const timeval& now, const timeval& last, int* ms, int* us);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_INTERNAL_H
