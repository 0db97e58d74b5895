// The append protocol: every piece of a log (line, header, banner, trailer)
// is counted under the write lock and written after it, so that the writes
// of several threads run in the kernel side by side, and a swap of the
// descriptor never closes one that a write still uses.
#ifndef QELLOG_SRC_LOG_APPEND_H
#define QELLOG_SRC_LOG_APPEND_H

#include <time.h>

#include <cstddef>

#include "log/log_state.h"

namespace qellog {

// A piece counted under the write lock, on its way to the file.
struct Append {
  int fd = -1;
  unsigned generation = 0;
  bool counted = false;
  bool claimed_flush = false;
  bool careful = false;  // reserved after a failure: see LogState::careful
  bool sigpipe = false;  // the descriptor's LogState::sigpipe
  // The strict size limit: this piece takes the file to its limit, or
  // finds it at twice the limit and waits for the rotation asked before it.
  bool reaches_limit = false;
  bool over_bound = false;
  unsigned rotation_ticket = 0;
  // The strict size limit: after its write this piece looks at the file's
  // real size (look_at_size()).
  bool looks_at_size = false;
};

// Under the write lock: takes the descriptor, counts `len` bytes and one
// write, marks the write in flight on its descriptor's generation and, when
// `may_claim`, claims the flush when one is due. Without a file nothing is
// counted; the write then fails and is reported.
Append reserve_locked(CQel_Log& log, LogState& s, unsigned long len, bool may_claim = true);

// The strict size limit, on the flush thread as it starts: asks for a
// rotation of a current file that is already at its limit (an earlier
// run's, or one that came over a lowered limit) when none was asked for it.
// True when it asked.
bool ask_rotation_if_over_limit(CQel_Log& log, LogState& s);

// Under the write lock: a careful write of no piece of its own, uncounted,
// for a pending lost-line record alone. `a.fd` is -1 without a file.
Append reserve_record_locked(CQel_Log& log, LogState& s);

// Without the write lock: writes the piece reserved in `a`. A failed or
// short write is reported on stderr and its count taken back. True when
// the write succeeded and claimed a flush, which the caller then raises
// (raise_flush(), log/flush.h) with no lock held; a failed write gives
// its claim back itself. May block: for the strict size limit's rotation
// (a piece that found the file at twice its limit), and, while the
// protocol is careful, for the pieces under way.
//
// This is where a cut-short piece is dealt with, whoever wrote it: the
// piece that reaches the file after it starts with a line end, and a pending
// lost-line record goes with it, in one writev(2). A piece that a write
// cut short (or that failed) turns the protocol careful until a piece
// lands whole.
bool complete_append(CQel_Log& log, LogState& s, const Append& a, const char* data,
                     unsigned long len);

// The end of a write reserved in `a`: it no longer uses its descriptor.
void finish_append(LogState& s, const Append& a);

// The careful path of complete_append() (a.careful), also for a lone
// record (`len` 0): one such write at a time, after every plain piece
// reserved before the protocol turned careful; a line end first when the
// file ends inside a piece, then a pending record, then the piece. Keeps
// s.fragment, puts back a record that did not land whole, and ends the
// careful state when everything landed. Reports and counts nothing.
bool write_carefully(CQel_Log& log, LogState& s, const Append& a, const char* data, size_t len);

// Writes a pending lost-line record on its own, uncounted and unreported
// (the flush thread at a wake-up, the destructor before the trailer); a
// failure only puts it back. Does nothing when none is pending.
void write_pending_record(CQel_Log& log);

// Publishes `fd` as the log's descriptor: `size` bytes written by this
// object (its header, counted as one write) after `prior` bytes that the
// file held before, a file that began at `began`; then waits until every
// write that took the previous descriptor has returned and gives that
// descriptor back to the caller to close. Writers wait at most for the
// swap itself. Called under rotate_mutex. `*wrote` (may be null) receives
// the bytes this object counted in the previous file, without those it
// held before.
int swap_descriptor(CQel_Log& log, LogState& s, int fd, unsigned long size, unsigned long prior,
                    time_t began, unsigned long long* wrote = nullptr);

// The two halves of swap_descriptor(), for a caller that changes more
// under the same hold of the write lock: publishes `fd` (REQUIRES:
// write_lock) and returns the generation of the previous descriptor,
// which lands in `*previous`; then, without the lock, waits until the
// writes that took a descriptor of that generation have returned.
unsigned publish_descriptor_locked(CQel_Log& log, LogState& s, int fd, unsigned long size,
                                   unsigned long prior, time_t began, int* previous,
                                   unsigned long long* wrote);
void wait_for_writes(LogState& s, unsigned generation);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_APPEND_H
