// Cuts standard input into log-sized pieces, one input line at a time.
#ifndef QELLOG_TOOLS_LINE_SPLIT_H
#define QELLOG_TOOLS_LINE_SPLIT_H

#include <cstddef>
#include <functional>
#include <string>

namespace qellog_tool {

// The longest text handed to one log line, markers included. A log line
// holds 297 characters; its prefix fields (time of day, elapsed time,
// pid:tid, processor, value field and "ERROR ") take at most about 70.
constexpr size_t kPieceMax = 224;
// What a log line leaves its prefix fields besides a piece.
constexpr size_t kPrefixRoom = 297 - kPieceMax;
// Ends every piece of a split line but the last.
constexpr char kContinuedEnd[] = " \\";
// Starts every piece of a split line but the first.
constexpr char kContinuationStart[] = "+ ";

// Receives input bytes in any chunks and hands out pieces of text:
//  - a line ends at LF; one CR right before the LF is dropped, and so is
//    one CR at the very end of the input;
//  - a NUL byte is shown as the two characters "\0" (and the log shows a
//    CR as "\r", two characters too);
//  - a line of more than the piece length (kPieceMax unless given) once
//    shown is cut into pieces of at most that length, markers included; a
//    cut never falls inside a UTF-8 sequence;
//  - each piece comes with the 1-based number of its input line.
// An empty line gives one empty piece. Memory stays bounded whatever the
// line length: pieces of a long line go out before its end is seen.
class LineSplitter {
 public:
  using Sink = std::function<void(unsigned long line, const std::string& text)>;

  explicit LineSplitter(Sink sink, size_t piece_max = kPieceMax)
      : sink_(std::move(sink)), piece_max_(piece_max) {}

  // Takes the next `len` bytes of input.
  void feed(const char* data, size_t len);
  // Ends the input: a last line without LF is handed out as it stands.
  void finish();

  // Lines handed out completely so far.
  unsigned long lines_done() const { return lines_done_; }

 private:
  void end_line();
  // Raw length of the next piece of a line that goes on after it.
  size_t next_cut() const;
  // Hands out the next `raw_len` bytes of the current line as one piece.
  void emit(size_t raw_len, bool last);

  Sink sink_;
  size_t piece_max_;
  std::string pending_;     // bytes of the current line
  size_t done_ = 0;         // leading bytes of pending_ already handed out
  bool continued_ = false;  // a piece of the current line went out already
  unsigned long lines_done_ = 0;
};

// How many of the `len` bytes at `data` fit into `budget` characters once
// NULs are shown as "\0" and CRs as "\r", moved back to the start of a
// UTF-8 sequence that would be cut unless that leaves nothing. Exposed for
// tests.
size_t fitting_prefix(const char* data, size_t len, size_t budget);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_LINE_SPLIT_H
