#include "log/log_state.h"

#include <unistd.h>

namespace qellog {

LogState::LogState() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // A line holds the lock for its clock reading, prefix and accounting, a
  // few hundred nanoseconds; spinning that long before sleeping avoids a
  // futex round trip per contended line.
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&write_lock, &attr);
  pthread_mutexattr_destroy(&attr);
}

LogState::~LogState() {
  if (dir_fd != -1) close(dir_fd);
  pthread_mutex_destroy(&write_lock);
}

void LogState::file_started_locked(unsigned long header, unsigned long prior, time_t began) {
  file_started = began;
  next_boundary = 0;
  header_bytes = header;
  fragment = false;
  refusals_said.store(0, std::memory_order_relaxed);
  last_seen_size = header + prior;
}

}  // namespace qellog
