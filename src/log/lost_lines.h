// Lines that could not be written: counted always, and, when the log asks
// for it, recorded in the file by the first write that succeeds afterwards,
// as one line before its own:
//   "write_to_file: 3 lines lost since 05.03.2024 14:07:09.123, last error 28"
// The append protocol (log/append.h) decides when a record goes out; this
// unit keeps its count and makes its text.
#ifndef QELLOG_SRC_LOG_LOST_LINES_H
#define QELLOG_SRC_LOG_LOST_LINES_H

#include <sys/time.h>

#include <cstddef>

#include "log/line_format.h"
#include "log/log_state.h"

namespace qellog {

constexpr size_t kRecordCapacity = kLineCapacity;
// How long the append protocol stays careful after a failed write.
constexpr time_t kCarefulSeconds = 1;

// Under the write lock: notes a counted piece whose write failed with
// `err`, and turns the append protocol careful.
void note_lost_locked(LogState& s, int err);

// A record taken out of the log's state for one attempt; put back when the
// attempt fails, so its count reaches the next one.
struct TakenRecord {
  unsigned long count = 0;
  timeval first{};
  int error = 0;
};

// Under the write lock: when a record is pending, formats it into `rec`
// (kRecordCapacity bytes) and takes it out of the state; its bytes are
// counted when the write goes to the current file (`current`). Its
// length, 0 when none is pending.
size_t take_record_locked(CQel_Log& log, LogState& s, bool current, char* rec, TakenRecord* taken);

// Under the write lock: the record of `n` bytes did not reach the file
// whole; its count is pending again, with what was lost meanwhile.
void put_back_record_locked(CQel_Log& log, LogState& s, bool current, size_t n,
                            const TakenRecord& taken);

// The record's text into `buf` (a line capacity of room): prefix fields as
// the log's mask selects, the error tag, the text and the log's line end. Returns its
// length. Reads the pending count (under the write lock, or while nothing
// else writes).
size_t format_record(CQel_Log& log, LogState& s, char* buf, size_t cap);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOST_LINES_H
