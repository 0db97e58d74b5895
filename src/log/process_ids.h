// The process and thread ids a line's prefix needs, cached.
#ifndef QELLOG_SRC_LOG_PROCESS_IDS_H
#define QELLOG_SRC_LOG_PROCESS_IDS_H

namespace qellog {

// The process id, cached and renewed in the child after fork().
int cached_pid();
// The calling thread's kernel thread id, cached per thread.
int cached_tid();

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_PROCESS_IDS_H
