// What the flush thread does besides syncing and size rotation, all of it
// opt-in: retention after a rotation, following a file that another tool
// moved, rotation at midnight or the top of the hour, and the lost-line
// record when the host has gone quiet. With none of it set, the thread
// waits for requests only and writes nothing more. All of it runs on the
// flush thread (tests call it directly, with no flush thread running).
#ifndef QELLOG_SRC_LOG_UPKEEP_H
#define QELLOG_SRC_LOG_UPKEEP_H

#include "log/log_state.h"

namespace qellog {

// How long the flush thread may wait for a request before a timed wake-up,
// in milliseconds (until the next time boundary, when that comes first);
// -1 when it waits for requests only.
long upkeep_wait_ms(CQel_Log& log);

// The flush thread's first turn, before it first waits: a current file
// already at the strict size limit is asked to rotate, and one that a time
// boundary has passed since it began rotates at once.
void at_first_turn(CQel_Log& log);

// A timed wake-up: acts only where something is due.
void on_timed_wakeup(CQel_Log& log);

// Before a request is served: the pending record, the check whether the
// live name still names the open file, and, with the strict size limit,
// following a rotation by another process (follow_other_rotation()).
void before_request(CQel_Log& log);

// After the flush thread rotated the file: removes what the retention
// limits no longer keep.
void after_rotation(CQel_Log& log);

// Whether the flush thread rotates at this turn instead of syncing: the
// size limit is reached, or a time boundary has passed since the file
// began. Never for a log whose live name is not a regular file (said once).
bool rotation_due(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_UPKEEP_H
