// Rotated names and continuation headers, composed into caller buffers.
#ifndef QELLOG_SRC_LOG_ROTATION_FORMAT_H
#define QELLOG_SRC_LOG_ROTATION_FORMAT_H

#include <time.h>

#include <cstddef>

namespace qellog {

// Large enough for a 1023-character base, the stamp and a 10-character
// extension.
constexpr size_t kRotatedNameCapacity = 1124;
// Large enough for the longest filename and host texts.
constexpr size_t kContinuationHeaderCapacity = 1524;

// base + "_YYYY_MM_DD_hh_mm_ss_mmm" + ext, e.g.
// ("/tmp/app", 2024-03-05 14:07:09, 123, ".log")
//   => "/tmp/app_2024_03_05_14_07_09_123.log"
void format_rotated_name(char* buf, size_t cap, const char* base,
                         const struct tm& cal, long millis, const char* ext);

// The block a rotated log's new file begins with: the path, the
// "logfile continued" date line, the library's version line, an empty line,
// the host's banner (with the description line only when there is one) and
// an empty line. Returns its length.
size_t format_continuation_header(char* buf, size_t cap, const char* filename,
                                  const struct tm& cal, const char* lib_name,
                                  const char* lib_vers, const char* lib_created,
                                  const char* lib_desc);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_ROTATION_FORMAT_H
