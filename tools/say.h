// The tool's own lines: its messages, reports and listings. What they
// quote (paths, values, the reader's trace) comes from files, arguments
// and the environment, so on a terminal control characters in them are
// shown as \xNN, as --show shows a log's text: no name can move the
// cursor, retitle or clear the terminal, or start a line of its own.
#ifndef QELLOG_TOOLS_SAY_H
#define QELLOG_TOOLS_SAY_H

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qellog_tool {

// `text` as it is to be written to `to`: escaped when `to` is a terminal.
std::string shown_text(const std::string& text, FILE* to);

// Formats one line (without its line end) and writes it with "\n" to
// `to`, escaped when `to` is a terminal.
void say(FILE* to, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void vsay(FILE* to, const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_SAY_H
