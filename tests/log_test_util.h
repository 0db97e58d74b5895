// Helpers for the log engine's tests: one fixture with a log in a fresh
// directory, the headers the library writes, the rotated files beside a log,
// the lines after a start header, and a census of numbered lines.
#ifndef QELLOG_TESTS_LOG_TEST_UTIL_H
#define QELLOG_TESTS_LOG_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log/file_format.h"
#include "qellog/log.h"
#include "test_util.h"

namespace qellog_test {

constexpr int kCreate = 0101;  // O_WRONLY | O_CREAT
// The line a flush thread with its diagnostics on writes before each wait.
constexpr char kVorWait[] = "msg_flush_thread: vor wait";

inline struct tm local_tm(const timeval& t) {
  struct tm cal;
  time_t sec = t.tv_sec;
  localtime_r(&sec, &cal);
  return cal;
}

// A calendar reading of the given local date and time.
inline struct tm calendar(int year, int month, int day, int hour = 0, int minute = 0,
                          int second = 0) {
  struct tm cal {};
  cal.tm_year = year - 1900;
  cal.tm_mon = month - 1;
  cal.tm_mday = day;
  cal.tm_hour = hour;
  cal.tm_min = minute;
  cal.tm_sec = second;
  return cal;
}

// The start header, or the continuation header with the host's texts, that
// the library writes for the log file `path` at `cal`. The texts themselves
// are pinned down against literals in file_format_test.
enum class Header { kStart, kContinued };
inline std::string expected_header(Header kind, const std::string& path, const struct tm& cal,
                                   const qellog::HostTexts& host = {"", "", "", ""}) {
  char buf[qellog::kHeaderCapacity];
  const size_t n =
      kind == Header::kStart
          ? qellog::format_start_header(buf, sizeof buf, path.c_str(), cal)
          : qellog::format_continuation_header(buf, sizeof buf, path.c_str(), cal, host);
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
  size_t missing() const {
    return count_where([](int c) { return c == 0; });
  }
  size_t repeated() const {
    return count_where([](int c) { return c > 1; });
  }
};

inline Census census(const std::string& dir, size_t writers, size_t per_writer,
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
      unsigned w = 0;
      unsigned n = 0;
      int end = 0;
      if (std::sscanf(line.c_str(), "W%u N%u %n", &w, &n, &end) != 2 ||
          line.compare(static_cast<size_t>(end), std::string::npos, payload) != 0 || w >= writers ||
          n >= per_writer) {
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
inline bool is_rotated_name(const std::string& name, const std::string& base,
                            const std::string& ext) {
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

// The rotated files of `stem` + `ext` in `dir`, oldest first.
inline std::vector<std::string> rotated_files(const std::string& dir,
                                              const std::string& stem = "app",
                                              const std::string& ext = ".log") {
  std::vector<std::string> out;
  for (const std::string& n : list_dir(dir)) {
    if (is_rotated_name(n, stem, ext)) out.push_back(n);
  }
  return out;
}

// Lines equal to `line` in all files of `dir`.
inline size_t lines_in_dir(const std::string& dir, const std::string& line) {
  size_t n = 0;
  for (const std::string& f : list_dir(dir)) {
    for (const std::string& l : split_crlf(read_file(dir + "/" + f))) n += l == line;
  }
  return n;
}

// The flush thread's turns, seen in the files of `dir` of a log with its
// own diagnostics on: it writes kVorWait holding the mutex a request
// takes, so once that line is there, a request reaches the waiting thread
// (a request that meets a busy thread is not queued).
class FlushThreadTurns {
 public:
  explicit FlushThreadTurns(std::string dir) : dir_(std::move(dir)) {}
  // Waits for one more such line than at the last call; false on timeout.
  bool next() {
    const bool ok = wait_until([&] { return waits() > seen_; });
    seen_ = waits();
    return ok;
  }
  size_t waits() const { return lines_in_dir(dir_, kVorWait); }

 private:
  std::string dir_;
  size_t seen_ = 0;
};

// A fresh directory (TZ is UTC) with the log `path` ("app.log" in it),
// opened by open_log() when a test or a fixture built on this one asks.
class LogTest : public ::testing::Test {
 protected:
  std::unique_ptr<CQel_Log> open_log(const std::string& at, unsigned bits = 3,
                                     unsigned mode = 0644) {
    auto made = std::make_unique<CQel_Log>(at.c_str(), kCreate, mode);
    made->set_logbits(bits);
    return made;
  }
  std::vector<std::string> lines() const { return body_lines(path); }
  std::string last_line() const {
    const std::vector<std::string> l = lines();
    return l.empty() ? std::string("<none>") : l.back();
  }
  // Lines of the log equal to `line`.
  size_t count(const std::string& line) const {
    size_t n = 0;
    for (const std::string& l : lines()) n += l == line;
    return n;
  }
  std::vector<std::string> rotated() const { return rotated_files(dir.path()); }

  TempDir dir;
  ScopedEnv tz{"TZ", "UTC0"};
  std::string path = dir.file("app.log");
  std::unique_ptr<CQel_Log> log;
};

}  // namespace qellog_test

#endif  // QELLOG_TESTS_LOG_TEST_UTIL_H
