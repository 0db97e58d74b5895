// The flush and the flush thread: a claimed flush request served inline
// (fsync) or handed to the flush thread, and the thread's loop, which
// syncs, rotates and does the upkeep at each turn.
#ifndef QELLOG_SRC_LOG_FLUSH_H
#define QELLOG_SRC_LOG_FLUSH_H

#include "log/log_state.h"

namespace qellog {

// The flush (CQel_Log::flushlog): resets the write count and syncs the
// file, inline with fsync(2) when no flush thread runs, otherwise by
// waking it; writes its own diagnostic lines. Does nothing without a
// file. Call it with no lock held.
void flush_now(CQel_Log& log);

// Runs the flush that the caller claimed (a writer that returned true) and
// releases the claim.
void raise_flush(CQel_Log& log);

// The flush thread's body (CQel_Log::msg_flush_thread): waits for requests
// and timed wake-ups until the run flag is cleared, and answers every
// rotation the strict size limit asked for before it ends.
void run_flush_thread(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_FLUSH_H
