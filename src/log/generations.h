// The generations layout (CQel_Log::set_generations()): every file of the
// log is born under its rotated name, stamped with its birth, and keeps
// that name for good; the live name is a hard link to the current file,
// replaced in one rename at each rotation. A shipper that reads the files
// by a wildcard over the rotated names finds each file once, under one
// name, however far behind it is.
#ifndef QELLOG_SRC_LOG_GENERATIONS_H
#define QELLOG_SRC_LOG_GENERATIONS_H

#include <string>

#include "log/log_state.h"

namespace qellog {

// Gives the current file its own rotated name, if it has none yet: the
// name a run before this one gave it (a name of the rotated pattern that
// links the same file), or a new one stamped now. Takes rotate_mutex.
// False when the file keeps no such name (no file open, the live name no
// longer names it, the link failed); rotation then gives it one.
bool adopt_generation(CQel_Log& log);

// True when the next rotation of `s` takes this layout's route: the
// layout is on, or the current file still has a name of its own.
// REQUIRES: rotate_mutex.
bool takes_generation_route(const LogState& s);

// One rotation in this layout, for rotate(): the new file is born under
// its stamped name (or, with the layout turned off since, under a hidden
// name only) with its continuation header, takes over the writes, and
// then replaces the live name; the old file keeps its name, untouched.
// True when the log writes to the new file afterwards. REQUIRES:
// rotate_mutex, no flush requests raised (NoFlushRequests).
bool rotate_generation(CQel_Log& log, LogState& s);

// The shell and imfile wildcard of the rotated names of the log file
// `live_path`: "/var/log/app/app.log" => "/var/log/app/app_*.log". Empty
// when the name has no rotated names.
std::string rotated_name_glob(const char* live_path);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_GENERATIONS_H
