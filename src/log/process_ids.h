// Per-process and per-thread facts a line's prefix needs, cached.
#ifndef QELLOG_SRC_LOG_PROCESS_IDS_H
#define QELLOG_SRC_LOG_PROCESS_IDS_H

#include <time.h>

namespace qellog {

// Local calendar time of `sec`. Cached per thread for the current second
// and time zone: localtime_r takes a process-wide lock in glibc.
void local_calendar(time_t sec, struct tm* out);
// tzset(), and forgets the cached calendar readings of every thread.
void renew_time_zone();

// The process id, cached and renewed in the child after fork().
int cached_pid();
// The calling thread's kernel thread id, cached per thread.
int cached_tid();

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_PROCESS_IDS_H
