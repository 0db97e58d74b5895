// A message line's text as the log's settings make it: the fields its mask
// selects, read from the cached ids and calendar, the message formatted and
// cut to the line's limit, and the line end. No I/O.
#ifndef QELLOG_SRC_LOG_LINE_H
#define QELLOG_SRC_LOG_LINE_H

#include <cstdarg>
#include <cstddef>

#include "log/line_format.h"

namespace qellog {

// The fields a line of mask `bits` shows, with what does not depend on the
// line's clock reading filled in (pid, tid, processor, value). `dated`
// gives the time field its date and UTC offset.
LineFields line_fields(unsigned bits, bool dated, bool error_tag, bool with_value, int value);

// The message text of `fmt` (null: empty) and `args` in `text` (`cap`
// bytes); a line is text, so it ends at the first NUL that the format
// produced. Its length; `*wanted` (may be null) receives the length that
// the whole text would have had, when the format produced no NUL.
size_t format_text(char* text, size_t cap, const char* fmt, va_list args, size_t* wanted = nullptr);

// The length of `len` bytes of text as a line takes them: up to the first
// NUL.
size_t text_length(const char* text, size_t len);

// The prefix of `f` (its calendar read for f.now when the time field is
// shown) into `buf`, at most `cap` characters. Its length.
size_t compose_prefix(LineFields& f, char* buf, size_t cap);

// How a line is made: at most `limit` characters before its line end, CR
// LF or LF alone, or no line end at all (LOGBIT_NOCRLF).
struct LineShape {
  size_t limit = kLineTextMax;
  bool lf_only = false;
  bool line_end = true;
};

// The whole line into `line` (room for shape.limit characters and the line
// end): the prefix, as much of `text` (`text_len` bytes) as fits the limit
// once shown (line_text.h), and the line end (a cut line still gets it, so
// the next line starts clean). Its length.
size_t compose_line(LineFields& f, const char* text, size_t text_len, const LineShape& shape,
                    char* line);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LINE_H
