// Retention as a running log does it: the flush thread prunes the log's
// rotated files after each rotation, among an earlier run's files and files
// that only look like the log's own, and two processes rotating and pruning
// one file lose no line.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

using Names = std::set<std::string>;

constexpr char kRemoved[] = "remove_rotated_files: removed ";
constexpr char kRenamed[] = " file renamed to ";
constexpr char kPayload[] = "retention keeps every line of a run that is still being written";

// A file's first bytes as a log named `path` begins it, at 2020-01-01.
std::string start_header(const std::string& path) {
  return "Logfile: " + path +
         "\r\nLogging started at 01.01.2020 00:00:00 \r\n"
         "QEL Loglib Version: 1,1,0,24 created Dec 15 2022\r\n\r\n";
}

std::string continuation_header(const std::string& path) {
  return path +
         "\r\nlogfile continued 01.01.2020 00:00:00\r\n"
         "QEL Loglib Version: 1,1,0,24 created Dec 15 2022\r\n\r\n"
         " Version:  created \r\n\r\n";
}

// Sets a file's (or a link's own) times `seconds` back from now.
void age(const std::string& path, time_t seconds) {
  const time_t then = time(nullptr) - seconds;
  const timespec times[2] = {{then, 0}, {then, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// `content` padded with lines to `size` bytes, two minutes old.
void plant(const std::string& path, const std::string& content, size_t size = 0) {
  std::string text = content;
  while (text.size() + 10 <= size) text += "old line\r\n";
  text.append(size > text.size() ? size - text.size() : 0, '.');
  write_file(path, text);
  age(path, 120);
}

// "app_YYYY_MM_DD_00_00_00_000.log" for the UTC day `days` before today.
std::string day_name(int days) {
  const time_t t = time(nullptr) - static_cast<time_t>(days) * 86400;
  struct tm cal;
  gmtime_r(&t, &cal);
  char buf[64];
  std::snprintf(buf, sizeof buf, "app_%04d_%02d_%02d_00_00_00_000.log", cal.tm_year + 1900,
                cal.tm_mon + 1, cal.tm_mday);
  return buf;
}

// Lines of every file in `dir` that begin with `head`, with `head` cut off
// and a trailing blank removed.
std::vector<std::string> lines_after(const std::string& dir, const std::string& head) {
  std::vector<std::string> out;
  for (const std::string& f : list_dir(dir)) {
    for (const std::string& l : split_crlf(read_file(dir + "/" + f))) {
      const size_t at = l.find(head);
      if (at == std::string::npos) continue;
      std::string rest = l.substr(at + head.size());
      if (!rest.empty() && rest.back() == ' ') rest.pop_back();
      out.push_back(rest);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Leaves (last path components) of the files that rotations made.
Names renamed_files(const std::string& dir) {
  Names out;
  for (const std::string& p : lines_after(dir, kRenamed)) out.insert(p.substr(p.rfind('/') + 1));
  return out;
}

class RetentionFlow : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedEnv tz{"TZ", "UTC0"};
  std::string path = dir.file("app.log");

  Names listing() {
    const std::vector<std::string> l = list_dir(dir.path());
    return Names(l.begin(), l.end());
  }
  // A log with its flush thread that rotates at every flush request.
  std::unique_ptr<CQel_Log> open_log() {
    auto log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0644);
    log->set_logbits(LOGBIT_INTERNAL | 3);
    log->set_maxfilesize(1);
    EXPECT_EQ(log->start_flush_thread(), 0);
    return log;
  }
  // Raises one rotation and waits until the directory holds `want` beside
  // the files the rotations made so far. A request that comes before the
  // flush thread waits is lost: it is raised once the thread has written
  // its "vor wait" line, which it does holding the mutex a request takes.
  bool rotate_to(CQel_Log& log, size_t rotations, Names want) {
    if (!wait_until([&] {
          return lines_after(dir.path(), "msg_flush_thread: vor wait").size() == rotations;
        })) {
      return false;
    }
    log.writelog(2, "rotation %zu", rotations);
    log.flushlog();
    return wait_until([&] {
      Names now = listing();
      const Names made = renamed_files(dir.path());
      for (const std::string& n : made) want.insert(n);
      return made.size() == rotations && now == want;
    });
  }
};

TEST_F(RetentionFlow, CountLimitKeepsYoungFilesAndLeavesLookAlikes) {
  Names old;
  for (int d = 1; d <= 10; ++d) {
    const std::string name = "app_2020_01_" + std::string(d < 10 ? "0" : "") +
                             std::to_string(d) + "_00_00_00_000.log";
    plant(dir.file(name), d % 2 ? start_header(path) : continuation_header(path));
    old.insert(name);
  }
  // Look-alikes, older by their names than every file of the log.
  plant(dir.file("app_old_2019_01_01_00_00_00_000.log"), start_header(dir.file("app_old.log")));
  plant(dir.file("app_2019_02_01_00_00_00_000.log"), start_header(dir.file("other.log")));
  plant(dir.file("app_2019_03_01_00_00_00_000.log"), "not a log at all\r\n");
  plant(dir.file("app_2019_04_01_00_00_00_000.log"), start_header(path));
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(chown(dir.file("app_2019_04_01_00_00_00_000.log").c_str(), nobody->pw_uid,
                  nobody->pw_gid), 0);
  plant(dir.file("target.txt"), start_header(path));
  ASSERT_EQ(symlink("target.txt", dir.file("app_2019_05_01_00_00_00_000.log").c_str()), 0);
  age(dir.file("app_2019_05_01_00_00_00_000.log"), 120);
  const Names look_alikes = {"app_old_2019_01_01_00_00_00_000.log",
                             "app_2019_02_01_00_00_00_000.log", "app_2019_03_01_00_00_00_000.log",
                             "app_2019_04_01_00_00_00_000.log", "app_2019_05_01_00_00_00_000.log",
                             "target.txt"};
  Names keep = look_alikes;
  keep.insert("app.log");

  std::unique_ptr<CQel_Log> log = open_log();
  log->set_maxfilecount(3);
  // One young file: the newest three are it and the two newest old ones.
  Names want = keep;
  want.insert({"app_2020_01_09_00_00_00_000.log", "app_2020_01_10_00_00_00_000.log"});
  ASSERT_TRUE(rotate_to(*log, 1, want)) << "after the first rotation";
  want.erase("app_2020_01_09_00_00_00_000.log");
  ASSERT_TRUE(rotate_to(*log, 2, want)) << "after the second rotation";
  want.erase("app_2020_01_10_00_00_00_000.log");
  ASSERT_TRUE(rotate_to(*log, 3, want)) << "after the third rotation";
  // A fourth young file breaks the count, but none of them may go.
  ASSERT_TRUE(rotate_to(*log, 4, want)) << "after the fourth rotation";
  log.reset();  // joins the flush thread: its last pass is over

  const Names made = renamed_files(dir.path());
  ASSERT_EQ(made.size(), 4u);
  want = keep;
  want.insert(made.begin(), made.end());
  EXPECT_EQ(listing(), want);
  EXPECT_EQ(lines_after(dir.path(), kRemoved), std::vector<std::string>(old.begin(), old.end()));
  EXPECT_EQ(lines_after(dir.path(), "remove_rotated_files: remove "), std::vector<std::string>());
  EXPECT_EQ(read_file(dir.file("target.txt")), start_header(path));
}

TEST_F(RetentionFlow, TotalSizeAndAgeLimits) {
  // Total: six old files of 1000 bytes; the young one and three of them fit
  // in 3500 bytes.
  for (int d = 1; d <= 6; ++d) {
    plant(dir.file("app_2020_02_0" + std::to_string(d) + "_00_00_00_000.log"), start_header(path),
          1000);
  }
  std::unique_ptr<CQel_Log> log = open_log();
  log->set_maxtotalsize(3500);
  Names want = {"app.log", "app_2020_02_04_00_00_00_000.log", "app_2020_02_05_00_00_00_000.log",
                "app_2020_02_06_00_00_00_000.log"};
  ASSERT_TRUE(rotate_to(*log, 1, want));
  log.reset();
  const Names made = renamed_files(dir.path());
  ASSERT_EQ(made.size(), 1u);
  struct stat st;
  ASSERT_EQ(stat(dir.file(*made.begin()).c_str(), &st), 0);
  ASSERT_LT(st.st_size, 500) << "the young file must leave room for three old ones";
  EXPECT_EQ(lines_after(dir.path(), kRemoved),
            (std::vector<std::string>{"app_2020_02_01_00_00_00_000.log",
                                      "app_2020_02_02_00_00_00_000.log",
                                      "app_2020_02_03_00_00_00_000.log"}));

  // Age: 30 days. Stamps of 2020 and of 31 days ago go; yesterday's stays,
  // and so does an old stamp on a file modified just now.
  for (const std::string& n : list_dir(dir.path())) unlink(dir.file(n).c_str());
  const std::string yesterday = day_name(1);
  const std::string month_ago = day_name(31);
  plant(dir.file("app_2020_03_01_00_00_00_000.log"), continuation_header(path));
  plant(dir.file("app_2020_03_02_00_00_00_000.log"), start_header(path));
  plant(dir.file(month_ago), start_header(path));
  plant(dir.file(yesterday), start_header(path));
  write_file(dir.file("app_2020_03_03_00_00_00_000.log"), start_header(path));
  log = open_log();
  log->set_maxfileage(30);
  want = {"app.log", yesterday, "app_2020_03_03_00_00_00_000.log"};
  ASSERT_TRUE(rotate_to(*log, 1, want));
  log.reset();
  EXPECT_EQ(lines_after(dir.path(), kRemoved),
            (std::vector<std::string>{"app_2020_03_01_00_00_00_000.log",
                                      "app_2020_03_02_00_00_00_000.log", month_ago}));
}

// One process's part: numbered lines in batches, each batch followed by
// requests until its own flush thread has rotated. Returns the exit code.
int write_numbered(const std::string& path, int writer, int lines, int batch) {
  CQel_Log log(path.c_str(), kCreate, 0644);
  log.set_logbits(LOGBIT_INTERNAL | 3);
  log.set_flushcount(10);
  log.set_maxfilesize(4 * 1024);
  log.set_maxfilecount(2);
  if (log.start_flush_thread() != 0) return 2;
  for (int i = 0; i < lines; ++i) {
    log.writelog(2, "W%d N%d %s", writer, i, kPayload);
    if ((i + 1) % batch != 0) continue;
    // A request that meets a busy thread is lost; ask again until served.
    if (!wait_until([&] {
          if (log.get_curfilesize() < log.get_maxfilesize()) return true;
          log.flushlog();
          return false;
        })) {
      return 3;
    }
  }
  return 0;
}

TEST_F(RetentionFlow, TwoProcessesRotatingAndPruningOneFile) {
  // Files beside the log that no pass may touch, two minutes old.
  const std::map<std::string, std::string> others = {
      {"app.log.bak", start_header(path)},
      {"notes.txt", "notes\r\n"},
      {"app_old_2020_01_01_00_00_00_000.log", start_header(dir.file("app_old.log"))}};
  for (const auto& o : others) plant(dir.file(o.first), o.second);
  constexpr int kLines = 3000;
  constexpr int kBatch = 250;  // about 25 KiB: a rotation each
  std::vector<pid_t> children;
  for (int w = 0; w < 2; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(60);
      _exit(write_numbered(path, w, kLines, kBatch));
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  for (const auto& o : others) {
    struct stat st;
    ASSERT_EQ(stat(dir.file(o.first).c_str(), &st), 0) << o.first;
    EXPECT_LT(st.st_mtime, time(nullptr) - 100) << o.first;
    EXPECT_EQ(read_file(dir.file(o.first)), o.second) << o.first;
    unlink(dir.file(o.first).c_str());
  }
  // Every file is younger than a minute: the passes remove nothing.
  const Names made = renamed_files(dir.path());
  EXPECT_GE(made.size(), 2u * kLines / kBatch);
  Names want(made.begin(), made.end());
  want.insert("app.log");
  EXPECT_EQ(listing(), want);
  EXPECT_EQ(lines_after(dir.path(), "remove_rotated_files:"), std::vector<std::string>());
  const Census c = census(dir.path(), 2, kLines, kPayload);
  EXPECT_EQ(c.missing(), 0u);
  EXPECT_EQ(c.repeated(), 0u);
  EXPECT_EQ(c.torn, 0u);
}

}  // namespace
