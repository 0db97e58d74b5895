// The calendar cache: a line with the time field converts its second once
// per thread and second, not once per line.
#include "log/calendar.h"

#include <pthread.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <mutex>

#include "log/hot_path.h"
#include "log/sync.h"

namespace qellog {
namespace {

std::atomic<unsigned> g_tz_generation{1};
// Nothing is taken while it is held; fork() holds it, so that a child
// never inherits it locked by a thread it does not have.
std::mutex g_zone_mutex;
struct ZoneForkHandlers {
  ZoneForkHandlers() {
    pthread_atfork([] { g_zone_mutex.lock(); }, [] { g_zone_mutex.unlock(); },
                   [] { g_zone_mutex.unlock(); });
  }
} g_zone_fork_handlers;

// The zone a cached reading was made in. A host that changes TZ and calls
// tzset() changes glibc's timezone, daylight and tzname; the next reading
// follows the new setting.
struct Zone {
  long offset;
  int dst;
  const char* names[2];
  bool operator==(const Zone& o) const {
    return offset == o.offset && dst == o.dst && names[0] == o.names[0] && names[1] == o.names[1];
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

}  // namespace

QELLOG_HOT void local_calendar(time_t sec, struct tm* out) {
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
  {
    std::lock_guard<std::mutex> guard(g_zone_mutex);
    tzset();
  }
  g_tz_generation.fetch_add(1, std::memory_order_relaxed);
}

time_t local_mktime(struct tm* cal) {
  std::lock_guard<std::mutex> guard(g_zone_mutex);
  return mktime(cal);
}

void wait_for_next_millisecond(const timeval& t) {
  timeval now;
  do {
    const timespec pause{0, 100 * 1000};
    nanosleep(&pause, nullptr);
    gettimeofday(&now, nullptr);
  } while (now.tv_sec == t.tv_sec && now.tv_usec / 1000 == t.tv_usec / 1000);
}

}  // namespace qellog
