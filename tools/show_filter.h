// Turns the bytes of log files into plain lines for `qellog --show`, and
// optionally leaves out the blocks the library writes around the
// messages: start and continuation headers, version banners and end
// trailers.
#ifndef QELLOG_TOOLS_SHOW_FILTER_H
#define QELLOG_TOOLS_SHOW_FILTER_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace qellog_tool {

// Decides line by line. A line that may open a block (a blank line, a
// "Logfile: " line, the live file's path) is held until the next line
// shows whether it does.
class HeaderFilter {
 public:
  // `live_path`: the name a continuation header begins with.
  HeaderFilter(bool drop_blocks, std::string live_path)
      : drop_(drop_blocks), live_(std::move(live_path)) {}

  // Takes one line without its line end; appends what is to be shown.
  void line(const std::string& l, std::vector<std::string>* out);
  // Hands out a held line (at the end of all input).
  void flush(std::vector<std::string>* out);
  // A line too long to be one of the library's own follows: it is a
  // message, so a held line is handed out and no block is open.
  void long_line(std::vector<std::string>* out);

 private:
  enum class State { kBody, kHeader, kAfterHeader, kBanner, kTrailer };
  void body(const std::string& l, std::vector<std::string>* out);
  bool may_open(const std::string& l) const;
  bool opens(const std::string& held, const std::string& next) const;

  bool drop_;
  std::string live_;
  State state_ = State::kBody;
  bool holding_ = false;
  std::string held_;
};

// The longest line kept whole. The library's own lines are far shorter;
// a longer line is a message and goes out in pieces as it comes, so memory
// stays bounded whatever a file holds.
constexpr size_t kLongLine = 65536;

// Appends `len` bytes to `out` with every control character (C0 but TAB,
// DEL, and C1 whether as a lone byte or UTF-8 encoded) written as \xNN, so
// that a log line cannot move the cursor, retitle or clear a terminal.
// Other bytes, UTF-8 sequences among them, pass unchanged.
void escape_controls(const char* data, size_t len, std::string* out);

// Splits bytes into lines (LF ends a line, a CR before it is dropped) and
// passes them through a HeaderFilter to standard output, escaped when
// `escape` is set.
class LinePrinter {
 public:
  LinePrinter(bool drop_blocks, const std::string& live_path, bool escape)
      : filter_(drop_blocks, live_path), escape_(escape) {}
  void feed(const char* data, size_t len);
  // A file ended: its last line without LF is shown as it stands.
  void end_file();
  // All input ended: held lines are shown too.
  void finish();

 private:
  void end_line();
  void spill();
  void put(const char* data, size_t len);
  void emit(const std::vector<std::string>& lines);
  HeaderFilter filter_;
  bool escape_;
  std::string partial_;
  bool long_line_ = false;  // part of the current line went out already
};

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_SHOW_FILTER_H
