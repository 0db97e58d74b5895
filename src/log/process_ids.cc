// Per-process and per-thread facts that a line's prefix needs, cached:
// getpid and gettid are system calls as costly as the write of the line,
// and localtime_r takes a process-wide lock.
#include "log/process_ids.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <ctime>

#include "log/sync.h"

namespace qellog {
namespace {

std::atomic<int> g_pid{0};
std::atomic<unsigned> g_tz_generation{1};
QELLOG_FAST_TLS thread_local int t_tid = 0;

// The zone a cached reading was made in. A host that changes TZ and calls
// tzset() changes glibc's timezone, daylight and tzname; the next reading
// follows the new setting.
struct Zone {
  long offset;
  int dst;
  const char* names[2];
  bool operator==(const Zone& o) const {
    return offset == o.offset && dst == o.dst && names[0] == o.names[0] &&
           names[1] == o.names[1];
  }
};

Zone current_zone() { return Zone{timezone, daylight, {tzname[0], tzname[1]}}; }

struct CalendarCache {
  time_t sec = LONG_MIN;
  unsigned tz_generation = 0;
  Zone zone{};
  struct tm cal {};
};
QELLOG_FAST_TLS thread_local CalendarCache t_calendar;

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

int cached_pid() {
  int pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<int>(getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

int cached_tid() {
  if (t_tid == 0) t_tid = static_cast<int>(syscall(SYS_gettid));
  return t_tid;
}

void local_calendar(time_t sec, struct tm* out) {
  CalendarCache& c = t_calendar;
  const unsigned gen = g_tz_generation.load(std::memory_order_relaxed);
  const Zone zone = current_zone();
  if (c.sec != sec || c.tz_generation != gen || !(c.zone == zone)) {
    localtime_r(&sec, &c.cal);
    c.sec = sec;
    c.tz_generation = gen;
    c.zone = zone;
  }
  *out = c.cal;
}

void renew_time_zone() {
  tzset();
  g_tz_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qellog
