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

// Writes the continuation header of a new current file begun at `cal`
// (with the host's texts as they stand) into `fd`, its first piece. On
// failure reports the write, removes the file when this rotation created
// it as `created_leaf` (null: it was there before), closes `fd` and
// returns false with errno set: a file without its header never becomes
// the log's file.
bool begin_file(CQel_Log& log, LogState& s, int fd, const struct tm& cal, const char* created_leaf,
                size_t* header_len);

// True when the current file, with the bytes it held before this object
// wrote to it, has reached the size limit.
bool size_limit_reached(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_ROTATION_H
