// Which messages a log writes: the rule of its enable mask, for the write
// path and for programs that warn before writing.
#ifndef QELLOG_SRC_LOG_MESSAGE_FILTER_H
#define QELLOG_SRC_LOG_MESSAGE_FILTER_H

#include "qellog/log.h"

namespace qellog {

// The flag word a message is judged and tagged by: 0 counts as the error
// class.
constexpr unsigned effective_flags(unsigned flags) { return flags != 0 ? flags : LOGBIT_ERROR; }

// False for the one flag word that writes a newline on standard output
// instead of a log line.
constexpr bool makes_log_line(unsigned flags) { return flags != LOGBIT_NEWLINE; }

// True when a message with the flag word `flags` passes the mask `logbits`.
constexpr bool message_passes(unsigned flags, unsigned logbits) {
  return (effective_flags(flags) & logbits) != 0;
}

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_MESSAGE_FILTER_H
