// Small synchronisation helpers of the log engine.
#ifndef QELLOG_SRC_LOG_SYNC_H
#define QELLOG_SRC_LOG_SYNC_H

#include <pthread.h>
#include <sys/time.h>

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

// initial-exec: per-thread caches read for every line; the general TLS
// model costs a call into the dynamic loader each time.
#define QELLOG_FAST_TLS __attribute__((tls_model("initial-exec")))

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_SYNC_H
