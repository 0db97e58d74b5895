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

void vsay(FILE* to, const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  std::vector<char> text(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size(), fmt, again);
  va_end(again);
  const size_t len = n > 0 ? static_cast<size_t>(n) : 0;
  if (isatty(fileno(to)) == 1) {
    std::string shown;
    escape_controls(text.data(), len, &shown);
    std::fwrite(shown.data(), 1, shown.size(), to);
  } else {
    std::fwrite(text.data(), 1, len, to);
  }
  std::fputc('\n', to);
}

}  // namespace qellog_tool
