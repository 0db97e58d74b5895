// The writers of a log's pieces on top of the append protocol: message
// lines, time-stamp lines, raw pieces and the engine's own diagnostic
// lines. Each reads the clock and composes its piece under the write lock
// and writes it after. None raises a flush itself: a writer that returns
// true claimed one, which its caller raises (raise_flush(), log/flush.h)
// once it holds no lock.
#ifndef QELLOG_SRC_LOG_MESSAGE_H
#define QELLOG_SRC_LOG_MESSAGE_H

#include <sys/time.h>

#include <cstdarg>

#include "log/message_filter.h"
#include "log/sync.h"
#include "qellog/log.h"

namespace qellog {

// True when the mask `bits` drops a message of flag word `flags`: the
// clock has then been read into cur_time, as for every message, and
// nothing else is done. The field is written only when the time has moved
// on, so that threads dropping messages quickly seldom take its cache line
// from each other. Inline, so that the public writers test it before any
// other work.
inline bool drops_message(CQel_Log& log, unsigned flags, unsigned bits) {
  if (!makes_log_line(flags) || message_passes(flags, bits)) return false;
  timeval now;
  gettimeofday(&now, nullptr);
  if (load(log.cur_time.tv_usec) != now.tv_usec || load(log.cur_time.tv_sec) != now.tv_sec) {
    store_time(log.cur_time, now);
  }
  return true;
}

// One message line of flag word `flags` (CQel_Log::writelog), with the
// value field when `with_value`, formatted for the mask `bits` that the
// caller loaded and found the message to pass (drops_message() false); the
// flag word LOGBIT_NEWLINE alone writes "\n" on stdout. Claims no flush
// unless `may_claim`.
bool write_message(CQel_Log& log, unsigned flags, unsigned bits, bool with_value, int value,
                   const char* fmt, va_list args, bool may_claim = true);

// One message line of flag word `flags` from a text formatted already
// (CQel_Log::writetext): `len` bytes of `text`, up to a first NUL, through
// the same line as write_message(), without the value field.
bool write_ready_text(CQel_Log& log, unsigned flags, unsigned bits, const char* text, size_t len);

// A time-stamp line (CQel_Log::writetime).
bool write_time_line(CQel_Log& log);

// `len` bytes as one piece (CQel_Log::write_to_file).
bool append_piece(CQel_Log& log, const char* data, unsigned long len);

// A line of the engine's own (LOGBIT_INTERNAL), from a format that begins
// with the reporting function's name. It never claims a flush: the engine
// writes these inside a rotation, on the flush thread or within a flush,
// where none is raised anyway; the count carries on to the next line.
void diagnostic(CQel_Log& log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_MESSAGE_H
