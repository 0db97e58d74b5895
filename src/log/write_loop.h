// The write(2) of a piece, repeated when a signal interrupts it, and the
// one line on standard error that reports a failed one.
#ifndef QELLOG_SRC_LOG_WRITE_LOOP_H
#define QELLOG_SRC_LOG_WRITE_LOOP_H

#include <sys/uio.h>

#include <cstddef>

namespace qellog {

// write(2) of the whole buffer in one call, repeated when a signal
// interrupts it. True when every byte was written; otherwise errno tells
// why (0 for a write cut short) and `*partial` whether some bytes reached
// the file. `pipe`: the descriptor is a pipe or a socket (see
// write_pieces()).
bool write_all(int fd, const char* data, size_t len, bool* partial = nullptr, bool pipe = false);
// The same for several pieces in one writev(2), which the kernel appends as
// one piece; `*written` is how many bytes reached the file.
//
// With `pipe`, a reader that has gone makes the write fail with EPIPE and
// nothing else: the SIGPIPE that the kernel sends the writing thread, whose
// default action would end the host, is blocked in this thread for the
// write and taken back afterwards, unless one was pending already (that
// one is the host's). The host's signal actions and mask stay as they are.
bool write_pieces(int fd, const iovec* pieces, int count, size_t* written, bool pipe = false);

// "Error in write to logfile <filename>: <errno>" on stderr.
void report_write_error(const char* filename, int err);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_WRITE_LOOP_H
