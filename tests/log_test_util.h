// Helpers for the log engine's tests: expected texts computed from a log's
// own time fields, and the lines that follow a file's start header.
#ifndef QELLOG_TESTS_LOG_TEST_UTIL_H
#define QELLOG_TESTS_LOG_TEST_UTIL_H

#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log/file_format.h"
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
  char buf[qellog::kHeaderCapacity];
  const size_t n = qellog::format_start_header(buf, sizeof buf, name.c_str(), local_tm(t));
  return std::string(buf, n);
}

// The lines of a log file after its start header (the first four lines).
inline std::vector<std::string> body_lines(const std::string& path) {
  std::vector<std::string> lines = split_crlf(read_file(path));
  if (lines.size() >= 4) lines.erase(lines.begin(), lines.begin() + 4);
  return lines;
}

// Lines "W<writer> N<number> <payload>" in every file of a directory, as
// written by numbered writers: how often each appeared, how many began like
// one but are not whole, how many other lines there were, and how many files
// do not end with CR LF.
struct Census {
  std::vector<std::vector<int>> seen;
  size_t torn = 0;
  size_t other = 0;
  size_t unterminated_files = 0;

  size_t count_where(bool (*pred)(int)) const {
    size_t n = 0;
    for (const auto& w : seen) {
      for (int c : w) n += pred(c);
    }
    return n;
  }
  size_t missing() const { return count_where([](int c) { return c == 0; }); }
  size_t repeated() const { return count_where([](int c) { return c > 1; }); }
};

inline Census census(const std::string& dir, int writers, int per_writer,
                     const std::string& payload) {
  Census c;
  c.seen.assign(writers, std::vector<int>(per_writer, 0));
  for (const std::string& name : list_dir(dir)) {
    const std::string text = read_file(dir + "/" + name);
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
      ++c.unterminated_files;
    }
    for (const std::string& line : split_crlf(text)) {
      if (line.empty() || line[0] != 'W') {
        ++c.other;
        continue;
      }
      int w = -1;
      int n = -1;
      int end = 0;
      if (std::sscanf(line.c_str(), "W%d N%d %n", &w, &n, &end) != 2 ||
          line.compare(static_cast<size_t>(end), std::string::npos, payload) != 0 || w < 0 ||
          w >= writers || n < 0 || n >= per_writer) {
        ++c.torn;
        continue;
      }
      ++c.seen[w][n];
    }
  }
  return c;
}

// True when `name` is `base` + "_YYYY_MM_DD_hh_mm_ss_mmm" + `ext`, checked
// independently of the library's own pattern.
inline bool is_rotated_name(const std::string& name, const std::string& base, const std::string& ext) {
  const std::string stamp = "_9999_99_99_99_99_99_999";
  if (name.size() != base.size() + stamp.size() + ext.size()) return false;
  if (name.compare(0, base.size(), base) != 0) return false;
  if (name.compare(name.size() - ext.size(), ext.size(), ext) != 0) return false;
  for (size_t i = 0; i < stamp.size(); ++i) {
    const char c = name[base.size() + i];
    if (stamp[i] == '9' ? (c < '0' || c > '9') : c != stamp[i]) return false;
  }
  return true;
}

}  // namespace qellog_test

#endif  // QELLOG_TESTS_LOG_TEST_UTIL_H
