// Recognising the library's own blocks in a log file, one line at a time.
#include "show_filter.h"

#include <cstdio>

#include "log/file_format.h"

namespace qellog_tool {
namespace {

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "<name> Version: <vers> created <created>", the first banner line.
bool is_banner(const std::string& l) {
  const size_t v = l.find(" Version: ");
  return v != std::string::npos && l.find(" created", v) != std::string::npos;
}

bool is_trailer_line(const std::string& l) {
  return l.empty() || starts_with(l, qellog::kTextEnded) ||
         l == std::string(qellog::kRuleLength, '-');
}

}  // namespace

bool HeaderFilter::may_open(const std::string& l) const {
  return l.empty() || starts_with(l, qellog::kTextLogfile) || l == live_;
}

bool HeaderFilter::opens(const std::string& held,
                         const std::string& next) const {
  if (held.empty()) return starts_with(next, qellog::kTextEnded);
  if (starts_with(held, qellog::kTextLogfile)) {
    return starts_with(next, qellog::kTextStarted);
  }
  return held == live_ && starts_with(next, qellog::kTextContinued);
}

void HeaderFilter::body(const std::string& l, std::vector<std::string>* out) {
  if (holding_ && opens(held_, l)) {
    holding_ = false;
    state_ = starts_with(l, qellog::kTextEnded) ? State::kTrailer
                                                  : State::kHeader;
    return;
  }
  if (holding_) out->push_back(held_);
  holding_ = may_open(l);
  if (holding_) {
    held_ = l;
  } else {
    out->push_back(l);
  }
}

void HeaderFilter::line(const std::string& l, std::vector<std::string>* out) {
  if (!drop_) {
    out->push_back(l);
    return;
  }
  switch (state_) {
    case State::kHeader:
      // "Logging started at" or "logfile continued", the library's
      // version line, then a blank line.
      if (l.empty()) state_ = State::kAfterHeader;
      return;
    case State::kAfterHeader:
      if (is_banner(l)) {
        state_ = State::kBanner;
        return;
      }
      break;
    case State::kBanner:
      if (l.empty()) state_ = State::kBody;
      return;
    case State::kTrailer:
      if (is_trailer_line(l)) return;
      break;
    case State::kBody:
      break;
  }
  state_ = State::kBody;
  body(l, out);
}

void HeaderFilter::flush(std::vector<std::string>* out) {
  if (holding_) out->push_back(held_);
  holding_ = false;
}

void LinePrinter::emit(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) {
    std::fwrite(l.data(), 1, l.size(), stdout);
    std::fputc('\n', stdout);
  }
}

void LinePrinter::feed(const char* data, size_t len) {
  std::vector<std::string> out;
  for (size_t i = 0; i < len; ++i) {
    if (data[i] != '\n') {
      partial_ += data[i];
      continue;
    }
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    filter_.line(partial_, &out);
    partial_.clear();
  }
  emit(out);
}

void LinePrinter::end_file() {
  if (partial_.empty()) return;
  std::vector<std::string> out;
  if (partial_.back() == '\r') partial_.pop_back();
  filter_.line(partial_, &out);
  partial_.clear();
  emit(out);
}

void LinePrinter::finish() {
  end_file();
  std::vector<std::string> out;
  filter_.flush(&out);
  emit(out);
}

}  // namespace qellog_tool
