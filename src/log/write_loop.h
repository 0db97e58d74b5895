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
// the file.
bool write_all(int fd, const char* data, size_t len, bool* partial = nullptr);
// The same for several pieces in one writev(2), which the kernel appends as
// one piece; `*written` is how many bytes reached the file.
bool write_pieces(int fd, const iovec* pieces, int count, size_t* written);

// "Error in write to logfile <filename>: <errno>" on stderr.
void report_write_error(const char* filename, int err);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_WRITE_LOOP_H
