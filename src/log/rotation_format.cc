#include "log/rotation_format.h"

#include <cstdio>

#include "log/internal.h"

namespace qellog {

void format_rotated_name(char* buf, size_t cap, const char* base,
                         const struct tm& cal, long millis, const char* ext) {
  std::snprintf(buf, cap, "%s_%04d_%02d_%02d_%02d_%02d_%02d_%03d%s", base,
                cal.tm_year + 1900, cal.tm_mon + 1, cal.tm_mday, cal.tm_hour,
                cal.tm_min, cal.tm_sec, static_cast<int>(millis), ext);
}

size_t format_continuation_header(char* buf, size_t cap, const char* filename,
                                  const struct tm& cal, const char* lib_name,
                                  const char* lib_vers, const char* lib_created,
                                  const char* lib_desc) {
  int n = std::snprintf(
      buf, cap,
      "%s\r\nlogfile continued %02d.%02d.%04d %02d:%02d:%02d\r\n"
      "QEL Loglib Version: %s created %s\r\n\r\n"
      "%s Version: %s created %s\r\n",
      filename, cal.tm_mday, cal.tm_mon + 1, cal.tm_year + 1900, cal.tm_hour,
      cal.tm_min, cal.tm_sec, kLibVersion, kLibCreated, lib_name, lib_vers,
      lib_created);
  if (lib_desc[0] != '\0') {
    n += std::snprintf(buf + n, cap - n, "Description: %s\r\n", lib_desc);
  }
  n += std::snprintf(buf + n, cap - n, "\r\n");
  return static_cast<size_t>(n);
}

}  // namespace qellog
