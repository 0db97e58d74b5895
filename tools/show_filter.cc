// Recognising the library's own blocks in a log file, one line at a time.
#include "show_filter.h"

#include <cstdio>
#include <cstring>

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

bool HeaderFilter::opens(const std::string& held, const std::string& next) const {
  if (held.empty()) return starts_with(next, qellog::kTextEnded);
  if (starts_with(held, qellog::kTextLogfile)) {
    return starts_with(next, qellog::kTextStarted);
  }
  return held == live_ && starts_with(next, qellog::kTextContinued);
}

void HeaderFilter::body(const std::string& l, std::vector<std::string>* out) {
  if (holding_ && opens(held_, l)) {
    holding_ = false;
    state_ = starts_with(l, qellog::kTextEnded) ? State::kTrailer : State::kHeader;
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
      // The start or continuation line, the library's
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

void HeaderFilter::long_line(std::vector<std::string>* out) {
  flush(out);
  state_ = State::kBody;
}

void escape_controls(const char* data, size_t len, std::string* out) {
  size_t pending = 0;  // continuation bytes the current UTF-8 sequence owes
  for (size_t i = 0; i < len; ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    const bool continuation = b >= 0x80 && b <= 0xbf;
    const bool encoded_c1 = b == 0xc2 && i + 1 < len &&
                            static_cast<unsigned char>(data[i + 1]) >= 0x80 &&
                            static_cast<unsigned char>(data[i + 1]) <= 0x9f;
    const bool lone_c1 = continuation && pending == 0 && b <= 0x9f;
    pending = continuation && pending > 0 ? pending - 1
              : b >= 0xf0                 ? 3
              : b >= 0xe0                 ? 2
              : b >= 0xc2                 ? 1
                                          : 0;
    if ((b < 0x20 && b != '\t') || b == 0x7f || lone_c1 || encoded_c1) {
      char hex[16];
      const int n = encoded_c1 ? std::snprintf(hex, sizeof hex, "\\x%02x\\x%02x", b,
                                               static_cast<unsigned char>(data[++i]))
                               : std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out->append(hex, static_cast<size_t>(n));
      pending = 0;
    } else {
      out->push_back(static_cast<char>(b));
    }
  }
}

void LinePrinter::put(const char* data, size_t len) {
  if (!escape_) {
    std::fwrite(data, 1, len, stdout);
    return;
  }
  std::string shown;
  escape_controls(data, len, &shown);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

void LinePrinter::emit(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) {
    put(l.data(), l.size());
    std::fputc('\n', stdout);
  }
}

void LinePrinter::end_line() {
  if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
  if (long_line_) {
    put(partial_.data(), partial_.size());
    std::fputc('\n', stdout);
    long_line_ = false;
  } else {
    std::vector<std::string> out;
    filter_.line(partial_, &out);
    emit(out);
  }
  partial_.clear();
}

// Writes out what is held of a line that outgrew kLongLine, keeping a last
// CR, which may be the start of the line end.
void LinePrinter::spill() {
  if (!long_line_) {
    std::vector<std::string> out;
    filter_.long_line(&out);
    emit(out);
    long_line_ = true;
  }
  const size_t n = partial_.size() - (partial_.back() == '\r' ? 1 : 0);
  put(partial_.data(), n);
  partial_.erase(0, n);
}

void LinePrinter::feed(const char* data, size_t len) {
  while (len > 0) {
    const void* nl = std::memchr(data, '\n', len);
    const size_t take =
        nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - data) : len;
    partial_.append(data, take);
    if (nl != nullptr) {
      end_line();
    } else if (partial_.size() >= kLongLine) {
      spill();
    }
    const size_t used = take + (nl != nullptr ? 1 : 0);
    data += used;
    len -= used;
  }
}

void LinePrinter::end_file() {
  if (!partial_.empty() || long_line_) end_line();
}

void LinePrinter::finish() {
  end_file();
  std::vector<std::string> out;
  filter_.flush(&out);
  emit(out);
}

}  // namespace qellog_tool
