// The constructor's open of the live file, with the own-file rule at the
// start of a log, and the prediction of that open for the qellog tool: one
// rule, judged by the same code, so that the tool's answer to "does the
// log file open" is the library's. Nothing here keeps state; the tool
// links it without the rest of the engine.
#ifndef QELLOG_SRC_LOG_LIVE_OPEN_H
#define QELLOG_SRC_LOG_LIVE_OPEN_H

#include <cstddef>

#include "log/dir_walk.h"

namespace qellog {

// How the one line on standard error names a refused log file.
constexpr char kLogFileRefused[] = "qellog: the log file";

// Opens the directory of the log file `filename` (O_PATH), walked one
// component at a time (walk_directory()); a directory handed over by
// GivenDirectory stands for its part of the name. `*shared` tells whether
// other users may add names there (others_may_plant()). -1 with errno set;
// a refused link fills `why`.
int open_name_directory(const char* filename, bool* shared, PathRefusal* why);

// Hands the directory that the set-up resolved (and made) to the next
// construction on this thread: `dir_fd` (not taken over) stands for the
// first `prefix_len` characters of the log's file name. For the object's
// lifetime.
class GivenDirectory {
 public:
  GivenDirectory(int dir_fd, size_t prefix_len);
  ~GivenDirectory();
  GivenDirectory(const GivenDirectory&) = delete;
  GivenDirectory& operator=(const GivenDirectory&) = delete;
};

// Opens the live name `leaf` in `dir_fd` with the host's `flags` and
// `mode`, O_APPEND and O_CLOEXEC, and marks it as a live file
// (mark_live_file()). Never blocks (a FIFO without a reader is
// ENXIO) and never makes a terminal the controlling one; the descriptor
// blocks again afterwards unless `flags` asked otherwise.
//
// In a directory only the effective user and root change, the name is
// opened as the host asked. Where other users may add names (`shared`),
// the own-file rule holds from the start: the log takes only a regular
// file of the effective user, or one this call creates with O_EXCL, and
// O_TRUNC empties only such a file. -1 with errno set; a refusal fills
// `why`, naming `filename`: EPERM for another user's file, EINVAL for a
// FIFO, socket or device, ELOOP for a symbolic link.
int open_live_file(int dir_fd, const char* leaf, bool shared, const char* filename, int flags,
                   unsigned mode, PathRefusal* why);

// What constructing a log on `filename` with `flags` would give, judged
// without creating, truncating or writing anything: 0 when the file opens,
// otherwise the errno of the failure, with `why` filled for a refusal (of
// a planted link on the way or of the own-file rule). `new_dir`: the
// file's directory is one the set-up is about to create. A FIFO is opened
// for a moment and closed again, nothing written, to learn whether a
// reader holds it; its reader may notice that.
int predict_live_open(const char* filename, int flags, bool new_dir, PathRefusal* why);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LIVE_OPEN_H
