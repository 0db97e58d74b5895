#include "log/log_state.h"

#include <unistd.h>

#include "log/hot_path.h"
#include "log/sync.h"

namespace qellog {

namespace {
std::atomic<unsigned> g_next_stripe{0};
QELLOG_FAST_TLS thread_local unsigned t_stripe = ~0u;
}  // namespace

QELLOG_HOT std::atomic<unsigned>& InFlight::slot(unsigned generation) {
  unsigned stripe = t_stripe;
  if (stripe == ~0u) {
    stripe = g_next_stripe.fetch_add(1, std::memory_order_relaxed) % kStripes;
    t_stripe = stripe;
  }
  return stripes_[stripe].n[generation & 1];
}

unsigned InFlight::count(unsigned generation) const {
  unsigned n = 0;
  for (const Stripe& s : stripes_) n += s.n[generation & 1].load(std::memory_order_acquire);
  return n;
}

void InFlight::reset() {
  for (Stripe& s : stripes_) {
    s.n[0].store(0, std::memory_order_relaxed);
    s.n[1].store(0, std::memory_order_relaxed);
  }
}

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
  limit_asked = false;
  next_size_look = 0;
  refusals_said.store(0, std::memory_order_relaxed);
  last_seen_size = header + prior;
}

}  // namespace qellog
