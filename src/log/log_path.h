// Where a log's file lives and how it is opened: the directory is held
// open, so that rotation acts there whatever the host's working directory
// becomes, and the file is never reached through a symlink that another
// user could have planted.
#ifndef QELLOG_SRC_LOG_LOG_PATH_H
#define QELLOG_SRC_LOG_LOG_PATH_H

#include "log/log_state.h"

namespace qellog {

// Opens the directory of `filename` into s.dir_fd and fills s.leaf,
// s.stem, s.ext and s.nofollow. The file may be reached through a symlink
// only when its directory is owned by the effective user or root and
// writable by nobody else. False (errno set) when the directory cannot be
// opened or a part does not fit.
bool open_log_directory(const char* filename, LogState& s);

// Opens the live name with the host's `flags` and `mode`, O_APPEND and
// O_CLOEXEC, in the log's directory.
int open_live_file(const LogState& s, int flags, unsigned mode);

// Opens the live name for a rotation's new file without ever following a
// symlink or truncating: creates it with the log's mode, or, when another
// process made a file there meanwhile, appends to it (its bytes land in
// `*prior`). -1 (errno set) for anything but a regular file. `*created`
// tells whether this call made the file.
int open_fresh_file(const LogState& s, bool* created, unsigned long* prior);

// The size of the regular file open as `fd`, 0 for anything else.
unsigned long regular_file_size(int fd);

// Seam for tests: the rename every rotation makes (renameat2 by default).
extern int (*g_renameat2)(int olddirfd, const char* oldpath, int newdirfd,
                          const char* newpath, unsigned flags);

// renameat2(RENAME_NOREPLACE) of two names in the log's directory; where
// the file system cannot refuse to replace, a test before the rename.
int rename_noreplace(const LogState& s, const char* from, const char* to);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOG_PATH_H
