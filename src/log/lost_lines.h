// Lines that could not be written: counted always, and, when the log asks
// for it, recorded in the file by the first write that succeeds afterwards,
// as one line before its own:
//   "write_to_file: 3 lines lost since 05.03.2024 14:07:09.123, last error 28"
#ifndef QELLOG_SRC_LOG_LOST_LINES_H
#define QELLOG_SRC_LOG_LOST_LINES_H

#include <cstddef>

#include "log/append.h"

namespace qellog {

// Under the write lock: notes a counted piece whose write failed with
// `err`; `partial` when part of it reached the file.
void note_lost_locked(LogState& s, int err, bool partial);

// Writes the pending record and the piece in one writev(2). True when both
// were written; otherwise the record's count stays pending and errno and
// `*partial` tell what happened to the piece.
bool write_with_record(CQel_Log& log, LogState& s, const Append& a,
                       const char* data, size_t len, bool* partial);

// Writes a pending record on its own (the flush thread at a wake-up, the
// destructor before the trailer). Does nothing when none is pending.
void write_pending_record(CQel_Log& log);

// The record's text into `buf` (a line capacity of room): prefix fields as
// the log's mask selects, the error tag, the text and CR LF; a CR LF first
// when the last failure left a fragment. Returns its length.
size_t format_record(CQel_Log& log, LogState& s, char* buf, size_t cap);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOST_LINES_H
