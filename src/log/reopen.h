// Following a file that another tool moved, truncated or replaced
// (logrotate's create or copytruncate, another process's rotation).
#ifndef QELLOG_SRC_LOG_REOPEN_H
#define QELLOG_SRC_LOG_REOPEN_H

#include "log/log_state.h"

namespace qellog {

// On the flush thread: when the live name no longer names the open file,
// goes on in the file under the name (opened without creating or
// truncating, after a continuation header); when the name is missing at two
// checks in a row and the log was set up with O_CREAT, creates it. A file
// that shrank was truncated in place: the size count restarts from its
// size. A failed open keeps the old descriptor and tries again next time.
void check_reopen(CQel_Log& log);

// On the flush thread, for the strict size limit: when the live name names
// another regular file of the log's own (another process logging to the
// same file rotated it), goes on in that file after a continuation header
// rather than writing on into the rotated one, or moving the other
// process's new file aside at the next rotation. True when it did.
bool follow_other_rotation(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_REOPEN_H
