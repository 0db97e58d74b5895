// Internal view of the process-wide log.
#ifndef QELLOG_SRC_API_PROCESS_LOG_H
#define QELLOG_SRC_API_PROCESS_LOG_H

class CQel_Log;

namespace qellog {

// The process log as it is at this moment, or null; for tests that inspect
// its settings. The pointer is not protected: use it only while no other
// thread can call exit_logging().
CQel_Log* current_process_log();

}  // namespace qellog

#endif  // QELLOG_SRC_API_PROCESS_LOG_H
