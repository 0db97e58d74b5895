// The fixed texts of a log file and the names of its rotated files,
// composed into caller buffers. Pure: no clock, no I/O; the caller passes
// the calendar reading.
#ifndef QELLOG_SRC_LOG_FILE_FORMAT_H
#define QELLOG_SRC_LOG_FILE_FORMAT_H

#include <time.h>

#include <cstddef>

namespace qellog {

// The library's own identity, repeated in every header.
constexpr const char kLibVersion[] = "1,1,0,24";
constexpr const char kLibCreated[] = "Dec 15 2022";

// The words that open the file's blocks, for the writer and for readers.
constexpr const char kTextLogfile[] = "Logfile: ";
constexpr const char kTextStarted[] = "Logging started at ";
constexpr const char kTextContinued[] = "logfile continued ";
constexpr const char kTextEnded[] = "Logging ended at ";
constexpr size_t kRuleLength = 72;  // the dashes under the trailer

// Large enough for a 1023-character base, the stamp and a 10-character
// extension.
constexpr size_t kRotatedNameCapacity = 1124;
// Large enough for the longest filename and the host's texts, each of
// which may show at twice its length (line_text.h).
constexpr size_t kHeaderCapacity = 1524;
constexpr size_t kBannerCapacity = 400;
constexpr size_t kTrailerCapacity = 160;
constexpr size_t kTimeLineCapacity = 64;

// The host's identity as the banner shows it.
struct HostTexts {
  const char* name;
  const char* vers;
  const char* created;
  const char* desc;  // the description line appears only when not empty
};

// Each function returns the length of the text it wrote (snprintf
// semantics: never more than cap - 1 characters are stored). With
// `lf_only` every line ends in LF alone instead of CR LF.

// "Logfile: <filename>\r\nLogging started at DD.MM.YYYY hh:mm:ss \r\n"
// "QEL Loglib Version: ... created ...\r\n\r\n"
size_t format_start_header(char* buf, size_t cap, const char* filename, const struct tm& cal,
                           bool lf_only = false);

// "<name> Version: <vers> created <created>\r\n", then
// "Description: <desc>\r\n" when there is one, then "\r\n". The host's
// texts are shown as message texts are (show_text()), so that none of them
// ends a line.
size_t format_banner(char* buf, size_t cap, const HostTexts& host, bool lf_only = false);

// "\r\nLogging ended at DD.MM.YYYY hh:mm.ss \r\n" + 72 '-' + "\r\n\r\n\r\n"
size_t format_trailer(char* buf, size_t cap, const struct tm& cal, bool lf_only = false);

// The block a rotated log's new file begins with: the path, the
// "logfile continued" date line, the library's version line, an empty line
// and the host's banner.
size_t format_continuation_header(char* buf, size_t cap, const char* filename, const struct tm& cal,
                                  const HostTexts& host, bool lf_only = false);

// A time-stamp line, "hh:mm.ss.mmm DD.MM.YYYY\r\n".
size_t format_time_line(char* buf, size_t cap, const struct tm& cal, long millis,
                        bool lf_only = false);

// base + "_YYYY_MM_DD_hh_mm_ss_mmm" + ext, e.g.
// ("/tmp/app", 2024-03-05 14:07:09, 123, ".log")
//   => "/tmp/app_2024_03_05_14_07_09_123.log"
void format_rotated_name(char* buf, size_t cap, const char* base, const struct tm& cal, long millis,
                         const char* ext);

// A rotated file's stamp as its name spells it.
struct RotatedStamp {
  int year, month, day, hour, minute, second, millis;
  // YYYYMMDDhhmmssmmm: orders stamps as time does.
  long long key() const;
};

// True when the directory entry `entry` is exactly stem + stamp + ext, with
// the stamp's digits in their fixed places and each field in its range
// (month 1-12, day 1-31, hour 0-23, minute 0-59, second 0-60); nothing may
// stand before or after. ("app", ".log") accepts
// "app_2024_03_05_14_07_09_123.log" but neither "app_b.log",
// "app_2024_03_05_14_07_09_123.log.1" nor ".app_2024_...".
bool parse_rotated_name(const char* entry, const char* stem, const char* ext, RotatedStamp* out);

// Splits the last component of `path` into stem and extension the way a
// log's names are split: the last '.' of the component starts the
// extension unless its tail is longer than 10 characters.
// "logs.d/app.log" => dir_len 7 ("logs.d/"), stem "app", ext ".log";
// "x.d/app" => dir_len 4, stem "app", ext "". False when a part does not
// fit its buffer.
bool split_last_component(const char* path, size_t* dir_len, char* stem, size_t stem_cap, char* ext,
                          size_t ext_cap);

// True when `data` (the first `len` bytes of a file) begins with a start
// or continuation header, with either line end, that names a file whose
// last path component is `leaf`.
bool begins_with_header_of(const char* data, size_t len, const char* leaf);

// The date and time of the start or continuation header that `data` (the
// first `len` bytes of a file) begins with, as its second line spells it
// ("Logging started at 05.03.2024 14:07:09 " => 5 March 2024 14:07:09,
// tm_isdst -1). False when there is no such header.
bool header_time(const char* data, size_t len, struct tm* out);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_FILE_FORMAT_H
