#include "say.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "show_filter.h"

namespace qellog_tool {

void say(FILE* to, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vsay(to, fmt, args);
  va_end(args);
}

std::string shown_text(const std::string& text, FILE* to) {
  if (isatty(fileno(to)) != 1) return text;
  std::string shown;
  escape_controls(text.data(), text.size(), &shown);
  return shown;
}

void vsay(FILE* to, const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  std::vector<char> text(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size(), fmt, again);
  va_end(again);
  const std::string shown = shown_text(std::string(text.data(), text.size() - 1), to);
  std::fwrite(shown.data(), 1, shown.size(), to);
  std::fputc('\n', to);
}

}  // namespace qellog_tool
