// The clock readings of the engine that are not a line's own: the local
// calendar, cached per thread.
#ifndef QELLOG_SRC_LOG_CALENDAR_H
#define QELLOG_SRC_LOG_CALENDAR_H

#include <sys/time.h>
#include <time.h>

namespace qellog {

// Local calendar time of `sec`. Cached per thread for the current second
// and time zone: localtime_r takes a process-wide lock in glibc.
void local_calendar(time_t sec, struct tm* out);
// tzset(), and forgets the cached calendar readings of every thread.
void renew_time_zone();
// mktime(3) of the local calendar time `cal`. It and renew_time_zone()
// take one lock of the library's: both may reload glibc's zone state, whose
// own lock a thread sanitizer cannot see.
time_t local_mktime(struct tm* cal);

// Sleeps until gettimeofday() reads a millisecond after `t`'s: two files
// named in one millisecond would share a stamp.
void wait_for_next_millisecond(const timeval& t);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_CALENDAR_H
