// Retention of a log's rotated files: which of the files beside the live
// one are this log's own rotated files, and which of them the limits on
// count, total size and age remove. Internal to the library.
#ifndef QELLOG_SRC_LOG_RETENTION_H
#define QELLOG_SRC_LOG_RETENTION_H

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qellog {

// A pass unlinks at most this many files; a larger backlog shrinks over
// the following passes.
constexpr size_t kMaxRemovalsPerPass = 256;
// Files modified this recently count toward the limits but are never
// removed: a process still logging through a descriptor of a file renamed
// away under it may be writing into it.
constexpr time_t kYoungSeconds = 60;

// Each limit is off when 0.
struct RetentionLimits {
  unsigned long max_count;     // rotated files kept
  unsigned long max_total;     // bytes (st_size) of the rotated files kept
  unsigned long max_age_days;  // age of a file's stamp, in days of 86400 s

  bool any() const { return max_count != 0 || max_total != 0 || max_age_days != 0; }
};

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

// One of the log's rotated files, as the policy sees it.
struct RotatedFile {
  std::string name;         // directory entry
  long long key;            // RotatedStamp::key(): orders files as time does
  time_t stamp;             // the name's stamp read as local time
  unsigned long long size;  // st_size
  bool young;               // modified within the last kYoungSeconds
  dev_t dev;                // identity, checked again before unlinking
  ino_t ino;
};

// The policy, pure. Sorts `files` newest first by key and returns the
// indexes (into the sorted vector) of the files to remove, oldest first, at
// most kMaxRemovalsPerPass of them. The newest file is always kept. Walking
// from the newest, the first file that makes the count exceed max_count,
// the total size exceed max_total, or whose stamp is more than
// max_age_days * 86400 s before `now` is the cut: it and every older file
// are removed, except young ones, which still count toward the limits.
std::vector<size_t> files_to_remove(std::vector<RotatedFile>* files,
                                    const RetentionLimits& limits, time_t now);

// Removes the rotated files of the log whose live file is `live_leaf`
// (a last path component without '/', e.g. "app.log") from the directory
// open as `dir_fd`, as files_to_remove decides, and returns how many it
// unlinked. Does nothing, without reading the directory, when no limit is
// set. `dir_fd` stays open and owned by the caller.
//
// A file takes part only when its whole name is the leaf's stem, a stamp
// and the leaf's extension; it is a regular file (never followed through a
// symlink) owned by the effective user and not the live file; and its first
// bytes are a start or continuation header of a file named `live_leaf`.
// Nothing else is counted, opened or removed.
//
// Runs the directory scan and one open and read per candidate on the
// calling thread; meant for the flush thread, after a rotation. Two
// processes pruning one directory at once never remove more than either
// would alone. Never throws.
int prune_rotated_files(int dir_fd, const char* live_leaf,
                        const RetentionLimits& limits, time_t now,
                        RetentionReport& report);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_RETENTION_H
