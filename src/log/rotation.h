// Rotation of a log's file, shared by the flush thread and the member
// create_next_file().
#ifndef QELLOG_SRC_LOG_ROTATION_H
#define QELLOG_SRC_LOG_ROTATION_H

#include "log/log_state.h"

namespace qellog {

// True when the current file, with the bytes it held before this object
// wrote to it, has reached the size limit.
bool size_limit_reached(CQel_Log& log);

// Seam for tests: when set, called between the move of the live file and
// the open of its successor, with the log's directory and leaf.
extern void (*g_after_move_aside)(int dir_fd, const char* leaf);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_ROTATION_H
