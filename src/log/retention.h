// Retention passes over a log's directory: the removal of the log's
// rotated files (rotated_files.h) as the policy (retention_policy.h)
// decides. Internal to the library.
#ifndef QELLOG_SRC_LOG_RETENTION_H
#define QELLOG_SRC_LOG_RETENTION_H

#include <time.h>

#include "log/retention_policy.h"

namespace qellog {

// Receives what a pass did, file by file, on the calling thread.
class RetentionReport {
 public:
  virtual ~RetentionReport() = default;
  // `name` was unlinked.
  virtual void removed(const char* name) = 0;
  // Unlinking `name` failed with `err` (never ENOENT: a file already gone
  // is not a failure). `name` is "." when the directory could not be read
  // or the pass ran out of memory; nothing was removed then.
  virtual void failed(const char* name, int err) = 0;
};

// Removes the rotated files of the log whose live file is `live_leaf`
// (a last path component without '/', e.g. "app.log") from the directory
// open as `dir_fd`, as files_to_remove decides, and returns how many it
// unlinked. Does nothing, without reading the directory, when no limit is
// set. `dir_fd` stays open and owned by the caller.
//
// The files are those of the listing (rotated_files.h) with the effective
// user as the owner: nothing else is counted, opened or removed. A file
// that another process still writes into as its live file (log_files.h,
// live_writers()) is never removed, however old; one whose writer has
// closed it, or crashed, is removed like any other. Where that cannot be
// told, a file modified within kYoungSeconds is kept, unless this process
// rotated it and it holds only what this process wrote (`memory->made_here`).
//
// Cost, on the calling thread: with `memory`, one step of the listing
// within the kMax*PerPass budgets, which carries on where the last pass
// left it; without, a sweep of the whole directory with at most
// kMaxHeadReadsPerPass head reads. Then one fstatat per listed file from
// the newest to the cut, one open per file the policy reaches for removal
// (at most kMaxHeadReadsPerPass), and at most kMaxRemovalsPerPass unlinks.
// Meant for the flush thread, after a rotation. Two processes pruning one
// directory at once never remove more than either would alone. Never
// throws.
int prune_rotated_files(int dir_fd, const char* live_leaf, const RetentionLimits& limits,
                        time_t now, RetentionReport& report, RetentionMemory* memory = nullptr);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_RETENTION_H
