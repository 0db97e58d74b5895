// Retention passes over a log's directory: which of the files beside the
// live one are this log's own rotated files, and their removal as the
// policy (retention_policy.h) decides. Internal to the library.
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
// A file takes part only when its whole name is the leaf's stem, a stamp
// and the leaf's extension; it is a regular file (never followed through a
// symlink) owned by the effective user and not the live file; and its first
// bytes are a start or continuation header of a file named `live_leaf`
// (read only for the files the policy reaches, and not for those in
// `memory->made_here`). Nothing else is counted, opened or removed.
//
// Cost, on the calling thread: the directory scan and a sort of the names
// of the pattern; one fstatat only per file the policy reaches (from the
// newest to the cut, and from the oldest for removal), at most
// kMaxHeadReadsPerPass head reads and kMaxRemovalsPerPass unlinks; meant
// for the flush thread, after a rotation. `memory` (may be null) carries what passes learn to the
// next. Two processes pruning one directory at once never remove more than either would alone.
// Never throws.
int prune_rotated_files(int dir_fd, const char* live_leaf, const RetentionLimits& limits,
                        time_t now, RetentionReport& report, RetentionMemory* memory = nullptr);

// Seam for tests: when set, called with each file a pass is about to
// unlink, after its last check.
extern void (*g_before_unlink)(int dir_fd, const char* name);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_RETENTION_H
