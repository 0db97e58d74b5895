// The append protocol: every piece of a log (line, header, banner, trailer)
// is counted under the write lock and written after it, so that the writes
// of several threads run in the kernel side by side, and a swap of the
// descriptor never closes one that a write still uses.
#ifndef QELLOG_SRC_LOG_APPEND_H
#define QELLOG_SRC_LOG_APPEND_H

#include <sys/uio.h>

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
  // The strict size limit: this piece takes the file to its limit, or
  // finds it at twice the limit and waits for the rotation asked before it.
  bool reaches_limit = false;
  bool over_bound = false;
  unsigned rotation_ticket = 0;
};

// Under the write lock: takes the descriptor, counts `len` bytes and one
// write, marks the write in flight on its descriptor's generation and
// claims the flush when one is due. Without a file nothing is counted; the
// write then fails and is reported.
Append reserve_locked(CQel_Log& log, LogState& s, unsigned long len);

// Under the write lock: a careful write of no piece of its own, uncounted,
// for a pending lost-line record alone. `a.fd` is -1 without a file.
Append reserve_record_locked(CQel_Log& log, LogState& s);

// Without the write lock: writes the piece reserved in `a`. A failed or
// short write is reported on stderr and its count taken back. True when
// the write succeeded and claimed a flush, which the caller then raises.
//
// This is where a cut-short piece is dealt with, whoever wrote it: the
// piece that reaches the file after it starts with CR LF, and a pending
// lost-line record goes with it, in one writev(2). A piece that a write
// cut short (or that failed) turns the protocol careful until a piece
// lands whole.
bool complete_append(CQel_Log& log, LogState& s, const Append& a,
                     const char* data, unsigned long len);

// The end of a write reserved in `a`: it no longer uses its descriptor.
void finish_append(LogState& s, const Append& a);

// The careful path of complete_append() (a.careful), also for a lone
// record (`len` 0): one such write at a time, after every plain piece
// reserved before the protocol turned careful; a CR LF first when the
// file ends inside a piece, then a pending record, then the piece. Keeps
// s.fragment, puts back a record that did not land whole, and ends the
// careful state when everything landed. Reports and counts nothing.
bool write_carefully(CQel_Log& log, LogState& s, const Append& a,
                     const char* data, size_t len);

// Both steps and the flush they claim: the write primitive.
void append_piece(CQel_Log& log, const char* data, unsigned long len);

// write(2) of the whole buffer in one call, repeated when a signal
// interrupts it. True when every byte was written; otherwise errno tells
// why (0 for a write cut short) and `*partial` whether some bytes reached
// the file.
bool write_all(int fd, const char* data, size_t len, bool* partial = nullptr);
// The same for several pieces in one writev(2), which the kernel appends as
// one piece; `*written` is how many bytes reached the file.
bool write_pieces(int fd, const iovec* pieces, int count, size_t* written);

// "Error in write to logfile <filename>: <errno>" on stderr.
void report_write_error(const char* filename, int err);

// Publishes `fd` as the log's descriptor: `size` bytes written by this
// object (its header, counted as one write) after `prior` bytes that the
// file held before; then waits
// until every write that took the previous descriptor has returned and
// gives that descriptor back to the caller to close. Writers wait at most
// for the swap itself. Called by one thread at a time (the rotation lock).
// `*wrote` (may be null) receives the bytes this object counted in the
// previous file, without those it held before.
int swap_descriptor(CQel_Log& log, LogState& s, int fd, unsigned long size,
                    unsigned long prior, unsigned long long* wrote = nullptr);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_APPEND_H
