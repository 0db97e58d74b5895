// Helpers for the log engine's tests: expected texts computed from a log's
// own time fields, and the lines that follow a file's start header.
#ifndef QELLOG_TESTS_LOG_TEST_UTIL_H
#define QELLOG_TESTS_LOG_TEST_UTIL_H

#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_util.h"

namespace qellog_test {

constexpr int kCreate = 0101;  // O_WRONLY | O_CREAT

inline struct tm local_tm(const timeval& t) {
  struct tm cal;
  time_t sec = t.tv_sec;
  localtime_r(&sec, &cal);
  return cal;
}

inline std::string expected_start_header(const std::string& name, const timeval& t) {
  const struct tm c = local_tm(t);
  char buf[2048];
  std::snprintf(buf, sizeof buf,
                "Logfile: %s\r\nLogging started at %02d.%02d.%04d %02d:%02d:%02d \r\n"
                "QEL Loglib Version: 1,1,0,24 created Dec 15 2022\r\n\r\n",
                name.c_str(), c.tm_mday, c.tm_mon + 1, c.tm_year + 1900, c.tm_hour,
                c.tm_min, c.tm_sec);
  return buf;
}

// The lines of a log file after its start header (the first four lines).
inline std::vector<std::string> body_lines(const std::string& path) {
  std::vector<std::string> lines = split_crlf(read_file(path));
  if (lines.size() >= 4) lines.erase(lines.begin(), lines.begin() + 4);
  return lines;
}

}  // namespace qellog_test

#endif  // QELLOG_TESTS_LOG_TEST_UTIL_H
