// Rotation of a log's file, shared by the flush thread and the member
// create_next_file().
#ifndef QELLOG_SRC_LOG_ROTATION_H
#define QELLOG_SRC_LOG_ROTATION_H

#include <time.h>

#include <cstddef>

#include "log/log_state.h"

namespace qellog {

// Moves the file aside and goes on in a fresh one (create_next_file()).
// True when the log writes to a new file afterwards.
bool rotate(CQel_Log& log);

// The live name is taken by what may not become the log's file, and the
// file the log writes to is no longer under it (moved, deleted, or a file
// of this function's): goes on in a new file under a free rotated name,
// so that the lines stay visible and the size limit holds. Says so once,
// in that file, until a file under the live name takes over. Under
// rotate_mutex; `fn` names the caller in the line. True when the log
// writes to a new file afterwards.
bool rotate_off_name(CQel_Log& log, const char* fn);

// Installs `fd`, a new file that begins with its header (`header_len`
// bytes after the `prior` bytes another process wrote there), as the
// log's current file, and waits for the writes still under way on the old
// one. Returns the old descriptor, for the caller to close, and in
// `*wrote` the bytes this log wrote to the old file. Under rotate_mutex.
int install_file(CQel_Log& log, LogState& s, int fd, size_t header_len, unsigned long prior,
                 unsigned long long* wrote);

// True when the current file, with the bytes it held before this object
// wrote to it, has reached the size limit.
bool size_limit_reached(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_ROTATION_H
