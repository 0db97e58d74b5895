// Moving a live log to another file, while other threads write: what a
// reload of the parameter file does when it names another file.
#ifndef QELLOG_SRC_LOG_LOG_MOVE_H
#define QELLOG_SRC_LOG_LOG_MOVE_H

#include "log/dir_walk.h"
#include "log/log_state.h"

namespace qellog {

// Makes the file `path` the log's file, the way a rotation swaps
// descriptors: the file is opened as the constructor opens its file (the
// directory walked without following a planted link, a directory handed
// over by GivenDirectory standing for its part of `path`, the own-file
// rule where others may add names, never blocking, marked as a live file)
// with `flags` less O_TRUNC, since a move never empties a file, and
// `mode`; it gets a start header with the line end `lf_only` asks for,
// and the version banner when the current file had one, before any writer
// can reach it. Then writers go on in it, the old file gets its end
// trailer once the writes under way on it have returned, and is closed
// with its directory. No line is lost or written twice. `flags` and
// `mode` are kept for the files that rotation and reopening make.
//
// When `path` is the name the log writes to already, or names the same
// file, nothing is written and only `flags` and `mode` are kept. False,
// with errno set and the log as it was, when the new file cannot be
// opened or given its header; a refusal of the own-file rule or of a
// planted link fills `why`.
//
// Takes rotate_mutex (so it waits for a rotation under way) and briefly
// write_lock; writers wait at most for the swap. Any thread, never with a
// lock of the log held.
bool move_log(CQel_Log& log, const char* path, int flags, unsigned mode, bool lf_only,
              PathRefusal* why);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOG_MOVE_H
