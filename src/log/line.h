// A message line's text as the log's settings make it: the fields its mask
// selects, read from the cached ids and calendar, the message formatted and
// cut to the line capacity, and the line end. No I/O.
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

// The message text of `fmt` (null: empty) and `args` in `text`; a line is
// text, so it ends at the first NUL that the format produced. Its length.
size_t format_text(char (&text)[kLineCapacity], const char* fmt, va_list args);

// The prefix of `f` (its calendar read for f.now when the time field is
// shown) into `buf`, at most `cap` characters. Its length.
size_t compose_prefix(LineFields& f, char* buf, size_t cap);

// The whole line into `line`: the prefix, the first `text_len` characters
// of `text` that fit the line capacity, and CR LF when `crlf` (a cut line
// still gets its CR LF, so the next line starts clean). Its length.
size_t compose_line(LineFields& f, const char* text, size_t text_len, bool crlf,
                    char (&line)[kLineCapacity]);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LINE_H
