// The own-file rule as rotation and reopening apply it: they move, replace
// or take as the live file only a regular file that is the log's own (the
// file it opened or created, or, in a directory where others may plant
// names, a regular file of the effective user). Whatever they refuse stays
// as it is, the log keeps its current file, and one LOGBIT_INTERNAL line
// per file and cause says why. All of it runs under the rotation lock.
#ifndef QELLOG_SRC_LOG_OWN_FILE_H
#define QELLOG_SRC_LOG_OWN_FILE_H

#include <sys/stat.h>

#include "log/log_state.h"

namespace qellog {

// True for a log whose live name was not a regular file when it was
// opened: it is never rotated or reopened. The first call says so.
bool rotation_is_off(CQel_Log& log);

// True when the live name holds the log's own file or nothing, so that
// `fn` may move or replace it; otherwise says once why not and returns
// false.
bool live_name_may_change(CQel_Log& log, const char* fn);

// True when the live name holds what may not become the log's file (not a
// regular file, or another user's), which is therefore not the file `fd`.
bool live_name_taken(const LogState& s, int fd);

// Writes, once per current file and `cause` (kRefused*), the line of `fn`
// that refuses `name` ("<fn>: <name> is not a regular file, left as it
// is"). `name` null: the log's file name.
void refuse_once(CQel_Log& log, unsigned cause, const char* fn, const char* name = nullptr);

// The file just moved to `leaf` was rotated by this process, which wrote
// `wrote` bytes into it: while that is all the file holds (nobody else
// wrote to it, before or since), retention does not hold it back as young.
void remember_rotated(LogState& s, const char* leaf, unsigned long long wrote);

// A file found under the tail-safe order's hidden name, lstat'ed as `st`:
// true when it may be kept as a rotated file (a crashed rotation's new
// file): a regular file, and where others may plant names, one of the
// effective user that begins with this log's header.
bool may_adopt_hidden(const LogState& s, const char* hidden, const struct stat& st);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_OWN_FILE_H
