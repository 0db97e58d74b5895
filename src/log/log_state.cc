#include "log/log_state.h"

#include <unistd.h>

#include <cstring>

#include "log/hot_path.h"
#include "log/sync.h"
#include "log/sys_calls.h"

namespace qellog {

namespace {
std::atomic<unsigned> g_next_stripe{0};
QELLOG_FAST_TLS thread_local unsigned t_stripe = ~0u;
thread_local bool t_next_lf_only = false;
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
  if (dir_fd != -1) sys.close(dir_fd);
  for (const ClassNames* t = class_names.load(); t != nullptr;) {
    const ClassNames* replaced = t->replaced;
    delete t;
    t = replaced;
  }
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

bool LogState::name_class(unsigned bit, const char* name) {
  if (!nameable_class_bit(bit) || (name != nullptr && !valid_class_name(name))) return false;
  // Made before the lock, filled under it: write_lock is held for no
  // allocation.
  auto* table = new ClassNames;
  const unsigned index = static_cast<unsigned>(__builtin_ctz(bit));
  LockGuard guard(write_lock);
  const ClassNames* current = class_names.load(std::memory_order_relaxed);
  if (current != nullptr) *table = *current;
  table->replaced = current;
  std::memset(table->name[index], 0, sizeof table->name[index]);
  if (name != nullptr) {
    std::memcpy(table->name[index], name, std::strlen(name));
    table->named |= bit;
  } else {
    table->named &= ~bit;
  }
  class_names.store(table, std::memory_order_release);
  return true;
}

LogState* new_log_state() {
  const bool lf_only = t_next_lf_only;
  t_next_lf_only = false;
  auto* s = new LogState;
  s->lf_only.store(lf_only, std::memory_order_relaxed);
  return s;
}

void set_next_line_end(bool lf_only) { t_next_lf_only = lf_only; }

}  // namespace qellog
