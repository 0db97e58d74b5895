#ifndef QELLOG_FORMAT_H
#define QELLOG_FORMAT_H

// Messages with {} formatting, on the fmt library: the lines writelog()
// writes, with a format string that fmt checks against its arguments (at
// compile time under C++20; under C++17 as fmt checks there).
//
//   #include <qellog/format.h>
//   qellog::log(LOGBIT_INFO, "{} samples from {}", n, device);    // the process log
//   qellog::log(log, LOGBIT_ERROR, "open {} failed: {}", path, err);  // a CQel_Log
//
// Nothing is formatted when the log's mask drops the message. A line gets
// the prefix fields, tags, line length and line end of a writelog() line,
// without the value field, and reaches the file in one piece. Build with
// fmt as well: the CMake target qellog::format (find_package(qellog
// COMPONENTS format)) or pkg-config's qellog-format.

#include <fmt/format.h>

#include <cstddef>
#include <iterator>
#include <utility>

#include "qellog/api.h"
#include "qellog/log.h"

namespace qellog {
namespace format_detail {

// The longest text a line can show (Maxlinelength's upper end), and a few
// bytes more so that the cut can tell a whole UTF-8 character from part of
// one.
constexpr std::size_t kMostText = 65536 + 4;

// Formats at most `most` characters and hands the text to `write`. A format
// error that fmt finds only at run time (C++17) is written as the format
// string and fmt's message instead, never thrown.
template <typename Write, typename... Args>
void format_and_write(Write write, std::size_t most, fmt::format_string<Args...> format,
                      Args&&... args) {
  fmt::memory_buffer text;
#if FMT_EXCEPTIONS
  try {
    fmt::format_to_n(std::back_inserter(text), most, format, std::forward<Args>(args)...);
  } catch (const fmt::format_error& e) {
    const fmt::string_view what = format;
    text.clear();
    text.append(what.data(), what.data() + what.size());
    fmt::format_to(std::back_inserter(text), " (format error: {})", e.what());
  }
#else
  fmt::format_to_n(std::back_inserter(text), most, format, std::forward<Args>(args)...);
#endif
  write(text.data(), text.size());
}

}  // namespace format_detail

// One message line of `target` with the flag word `flags`.
template <typename... Args>
void log(CQel_Log& target, unsigned flags, fmt::format_string<Args...> format, Args&&... args) {
  if (!target.passes_mask(flags)) return;
  format_detail::format_and_write(
      [&](const char* text, std::size_t len) { target.writetext(flags, text, len); },
      target.get_maxlinelength() + 4, format, std::forward<Args>(args)...);
}

// One message line of the process log (init_logging()); nothing without
// one.
template <typename... Args>
void log(unsigned flags, fmt::format_string<Args...> format, Args&&... args) {
  if (!get_logparam_passes(flags)) return;
  format_detail::format_and_write(
      [&](const char* text, std::size_t len) { writelog_text(flags, text, len); },
      format_detail::kMostText, format, std::forward<Args>(args)...);
}

}  // namespace qellog

#endif  // QELLOG_FORMAT_H
