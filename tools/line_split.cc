#include "line_split.h"

#include <cstring>

#include "log/line_text.h"

namespace qellog_tool {
namespace {

void append_shown(std::string& out, const char* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (data[i] == '\0') {
      out += "\\0";
    } else {
      out += data[i];
    }
  }
}

}  // namespace

size_t fitting_prefix(const char* data, size_t len, size_t budget) {
  size_t n = 0;
  size_t width = 0;
  while (n < len) {
    const size_t w = data[n] == '\0' ? 2 : qellog::shown_width(data[n], false);
    if (width + w > budget) break;
    width += w;
    ++n;
  }
  // The library's own rule of a cut between whole characters; a piece is
  // never left empty by it.
  const size_t whole = qellog::whole_char_cut(data, len, n);
  return whole > 0 ? whole : n;
}

void LineSplitter::emit(size_t raw_len, bool last) {
  std::string text;
  text.reserve(piece_max_);
  if (continued_) text += kContinuationStart;
  append_shown(text, pending_.data() + done_, raw_len);
  if (!last) text += kContinuedEnd;
  done_ += raw_len;
  sink_(lines_done_ + 1, text);
  continued_ = !last;
  if (last) ++lines_done_;
}

size_t LineSplitter::next_cut() const {
  const size_t lead = continued_ ? sizeof kContinuationStart - 1 : 0;
  const size_t budget = piece_max_ - lead - (sizeof kContinuedEnd - 1);
  return fitting_prefix(pending_.data() + done_, pending_.size() - done_, budget);
}

void LineSplitter::end_line() {
  if (pending_.size() > done_ && pending_.back() == '\r') pending_.pop_back();
  for (;;) {
    const size_t lead = continued_ ? sizeof kContinuationStart - 1 : 0;
    const size_t rest = pending_.size() - done_;
    if (fitting_prefix(pending_.data() + done_, rest, piece_max_ - lead) == rest) {
      emit(rest, true);
      break;
    }
    emit(next_cut(), false);
  }
  pending_.clear();
  done_ = 0;
}

void LineSplitter::feed(const char* data, size_t len) {
  while (len > 0) {
    const char* lf = static_cast<const char*>(std::memchr(data, '\n', len));
    const size_t take = lf != nullptr ? static_cast<size_t>(lf - data) : len;
    pending_.append(data, take);
    if (lf == nullptr) break;
    end_line();
    data += take + 1;
    len -= take + 1;
  }
  // Without its end in sight, a long line goes out piece by piece while
  // more than a piece stays behind: the last piece is never empty, even
  // when a CR before the coming LF is dropped.
  while (pending_.size() - done_ > 2 * piece_max_) emit(next_cut(), false);
  // Handed-out bytes leave the buffer once per chunk, not once per piece.
  pending_.erase(0, done_);
  done_ = 0;
}

void LineSplitter::finish() {
  if (pending_.size() > done_ || continued_) end_line();
}

}  // namespace qellog_tool
