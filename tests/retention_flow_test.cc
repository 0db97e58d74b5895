// Retention as a running log does it: the flush thread prunes the log's
// rotated files after each rotation, among an earlier run's files and files
// that only look like the log's own, and two processes rotating and pruning
// one file lose no line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "log/log_files.h"
#include "log/retention.h"
#include "log/sys_calls.h"
#include "log/upkeep.h"
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
  return expected_header(Header::kStart, path, calendar(2020, 1, 1));
}

std::string continuation_header(const std::string& path) {
  return expected_header(Header::kContinued, path, calendar(2020, 1, 1));
}

// `content` padded with lines to `size` bytes, two minutes old.
void plant(const std::string& path, const std::string& content, size_t size = 0) {
  std::string text = content;
  while (text.size() + 10 <= size) text += "old line\r\n";
  text.append(size > text.size() ? size - text.size() : 0, '.');
  write_file(path, text);
  ASSERT_TRUE(set_mtime(path, time(nullptr) - 120));
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

class RetentionFlow : public LogTest {
 protected:
  Names listing() {
    const std::vector<std::string> l = list_dir(dir.path());
    return Names(l.begin(), l.end());
  }
  // The files rotations made so far, also those removed since: the line
  // that names one is its own last line.
  Names made_files() {
    for (const std::string& n : renamed_files(dir.path())) made_so_far.insert(n);
    return made_so_far;
  }
  Names made_so_far;
  // A log with its flush thread that rotates at every flush request.
  std::unique_ptr<CQel_Log> open_rotating() {
    auto made = open_log(path, LOGBIT_INTERNAL | 3);
    made->set_maxfilesize(1);
    EXPECT_EQ(made->start_flush_thread(), 0);
    return made;
  }
  // Raises one rotation and waits until the directory holds `want` beside
  // the files the rotations made so far, but for the `dropped` oldest. A
  // request that comes before the flush thread waits is lost: it is raised
  // once the thread has written its "vor wait" line, which it does holding
  // the mutex a request takes.
  bool rotate_to(size_t rotations, Names want, size_t dropped = 0) {
    if (!wait_until([&] { return lines_in_dir(dir.path(), kVorWait) == rotations; })) {
      return false;
    }
    log->writelog(2, "rotation %zu", rotations);
    log->flushlog();
    return wait_until([&] {
      Names now = listing();
      const Names made = made_files();
      size_t older = 0;
      for (const std::string& m : made) {
        if (older++ >= dropped) want.insert(m);
      }
      return made.size() == rotations && now == want;
    });
  }
};

TEST_F(RetentionFlow, CountLimitKeepsYoungFilesAndLeavesLookAlikes) {
  Names old;
  for (int d = 1; d <= 10; ++d) {
    const std::string name =
        "app_2020_01_" + std::string(d < 10 ? "0" : "") + std::to_string(d) + "_00_00_00_000.log";
    plant(dir.file(name), d % 2 ? start_header(path) : continuation_header(path));
    old.insert(name);
  }
  // Look-alikes, older by their names than every file of the log.
  plant(dir.file("app_old_2019_01_01_00_00_00_000.log"), start_header(dir.file("app_old.log")));
  plant(dir.file("app_2019_02_01_00_00_00_000.log"), start_header(dir.file("other.log")));
  plant(dir.file("app_2019_03_01_00_00_00_000.log"), "not a log at all\r\n");
  plant(dir.file("app_2019_04_01_00_00_00_000.log"), start_header(path));
  // Another user's file needs root to make; without it the case is left out.
  const passwd* nobody = getpwnam("nobody");
  const std::string foreign = dir.file("app_2019_04_01_00_00_00_000.log");
  const bool chowned =
      nobody != nullptr && chown(foreign.c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  if (!chowned) {
    std::printf("no file of another owner: not root\n");
    unlink(foreign.c_str());
  }
  plant(dir.file("target.txt"), start_header(path));
  ASSERT_EQ(symlink("target.txt", dir.file("app_2019_05_01_00_00_00_000.log").c_str()), 0);
  ASSERT_TRUE(set_mtime(dir.file("app_2019_05_01_00_00_00_000.log"), time(nullptr) - 120));
  const Names look_alikes = {
      "app_old_2019_01_01_00_00_00_000.log", "app_2019_02_01_00_00_00_000.log",
      "app_2019_03_01_00_00_00_000.log",     "app_2019_04_01_00_00_00_000.log",
      "app_2019_05_01_00_00_00_000.log",     "target.txt"};
  Names keep = look_alikes;
  if (!chowned) keep.erase("app_2019_04_01_00_00_00_000.log");
  keep.insert("app.log");

  log = open_rotating();
  log->set_maxfilecount(3);
  // One young file: the newest three are it and the two newest old ones.
  Names want = keep;
  want.insert({"app_2020_01_09_00_00_00_000.log", "app_2020_01_10_00_00_00_000.log"});
  ASSERT_TRUE(rotate_to(1, want)) << "after the first rotation";
  want.erase("app_2020_01_09_00_00_00_000.log");
  ASSERT_TRUE(rotate_to(2, want)) << "after the second rotation";
  want.erase("app_2020_01_10_00_00_00_000.log");
  ASSERT_TRUE(rotate_to(3, want)) << "after the third rotation";
  // A fourth file breaks the count: the oldest goes, young as it is, since
  // this process rotated it and nobody else wrote to it.
  ASSERT_TRUE(rotate_to(4, want, 1)) << "after the fourth rotation";
  log.reset();  // joins the flush thread: its last pass is over

  const Names made = made_files();
  ASSERT_EQ(made.size(), 4u);
  want = keep;
  want.insert(std::next(made.begin()), made.end());
  EXPECT_EQ(listing(), want);
  old.insert(*made.begin());
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
  log = open_rotating();
  log->set_maxtotalsize(3500);
  Names want = {"app.log", "app_2020_02_04_00_00_00_000.log", "app_2020_02_05_00_00_00_000.log",
                "app_2020_02_06_00_00_00_000.log"};
  ASSERT_TRUE(rotate_to(1, want));
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
  // and so does an old stamp on a file that a log still writes into.
  for (const std::string& n : list_dir(dir.path())) unlink(dir.file(n).c_str());
  made_so_far.clear();
  const std::string yesterday = day_name(1);
  const std::string month_ago = day_name(31);
  plant(dir.file("app_2020_03_01_00_00_00_000.log"), continuation_header(path));
  plant(dir.file("app_2020_03_02_00_00_00_000.log"), start_header(path));
  plant(dir.file(month_ago), start_header(path));
  plant(dir.file(yesterday), start_header(path));
  write_file(dir.file("app_2020_03_03_00_00_00_000.log"), start_header(path));
  const int writer =
      open(dir.file("app_2020_03_03_00_00_00_000.log").c_str(), O_WRONLY | O_CLOEXEC);
  qellog::mark_live_file(writer);
  log = open_rotating();
  log->set_maxfileage(30);
  want = {"app.log", yesterday, "app_2020_03_03_00_00_00_000.log"};
  ASSERT_TRUE(rotate_to(1, want));
  log.reset();
  close(writer);
  EXPECT_EQ(lines_after(dir.path(), kRemoved),
            (std::vector<std::string>{"app_2020_03_01_00_00_00_000.log",
                                      "app_2020_03_02_00_00_00_000.log", month_ago}));
}

// A child keeps a hard link of each file its passes remove, named
// "<size>.<name>" with its size at that moment: a line written into it after
// its removal would make it grow.
std::string g_backup;

void keep_a_copy(int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0 ||
      linkat(dir_fd, name, AT_FDCWD,
             (g_backup + "/" + std::to_string(st.st_size) + "." + name).c_str(), 0) != 0) {
    std::abort();
  }
}

// One process's part: numbered lines in batches, each batch followed by
// requests until its own flush thread has rotated. Returns the exit code.
int write_numbered(const std::string& path, int writer, int lines, int batch) {
  ScopedSeam<void (*)(int, const char*)> copies(qellog::sys.before_unlink, keep_a_copy);
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
  TempDir backup;
  g_backup = backup.path();
  const std::vector<int> statuses = run_children(2, [&](int w) {
    alarm(60);
    return write_numbered(path, w, kLines, kBatch);
  });
  EXPECT_EQ(statuses, std::vector<int>(2, 0));
  for (const auto& o : others) {
    struct stat st;
    ASSERT_EQ(stat(dir.file(o.first).c_str(), &st), 0) << o.first;
    EXPECT_LT(st.st_mtime, time(nullptr) - 100) << o.first;
    EXPECT_EQ(read_file(dir.file(o.first)), o.second) << o.first;
    unlink(dir.file(o.first).c_str());
  }
  // Every file is younger than a minute: a pass removes only files that
  // its process rotated and wrote alone, and nothing reaches them after.
  const std::vector<std::string> removed = list_dir(backup.path());
  for (const std::string& r : removed) {
    EXPECT_EQ(file_size(backup.file(r)), std::stoul(r)) << "written to after its removal";
    ASSERT_EQ(rename(backup.file(r).c_str(), dir.file(r).c_str()), 0);
  }
  // Each process rotates once a batch, unless it found the other's
  // rotation had already served it.
  const Names made = renamed_files(dir.path());
  EXPECT_GE(made.size(), 1u * kLines / kBatch);
  EXPECT_EQ(listing().size(), made.size() + 1) << "the live file, the rotated and removed ones";
  EXPECT_EQ(lines_after(dir.path(), "remove_rotated_files: removed ").size(), removed.size());
  const Census c = census(dir.path(), 2, kLines, kPayload);
  EXPECT_EQ(c.missing(), 0u);
  EXPECT_EQ(c.repeated(), 0u);
  EXPECT_EQ(c.torn, 0u);
  std::printf("%zu rotations, %zu files removed\n", made.size(), removed.size());
}

// One run of a service with Maxfilecount 4: five rotations, each followed
// by the retention pass its flush thread makes, then an end by exit or by
// SIGKILL.
int service_run(const std::string& path, bool crash) {
  CQel_Log log(path.c_str(), kCreate, 0644);
  log.set_maxfilecount(4);
  for (int i = 0; i < 5; ++i) {
    log.writelog(2, "line %d", i);
    log.create_next_file();
    qellog::after_rotation(log);
  }
  if (crash) raise(SIGKILL);
  return 0;
}

TEST_F(RetentionFlow, ExactAcrossRestartsAndCrashesWhileALiveWritersFileStays) {
  for (const bool crash : {false, true}) {
    SCOPED_TRACE(crash ? "a crash loop" : "restarts");
    std::vector<size_t> kept;
    for (int run = 0; run < 3; ++run) {
      EXPECT_EQ(run_in_child([&] { return service_run(path, crash); }).status,
                crash ? 128 + SIGKILL : 0);
      kept.push_back(rotated().size());
    }
    EXPECT_EQ(kept, (std::vector<size_t>{4, 4, 4})) << "within a minute";
    for (const std::string& n : list_dir(dir.path())) unlink(dir.file(n).c_str());
  }

  // Another process logs to the same file and writes on into it after this
  // one rotated it away: a day old, the file stays until that process ends.
  int ready[2], go[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  const pid_t other = fork();
  if (other == 0) {
    CQel_Log theirs(path.c_str(), kCreate, 0644);
    theirs.writelog(2, "other's first line");
    char c = 0;
    if (write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
    theirs.writelog(2, "other's late line");
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  log = open_log(path);
  log->set_maxfilecount(2);
  const auto rotate = [&] {
    log->create_next_file();
    qellog::after_rotation(*log);
  };
  rotate();
  const std::string theirs = dir.file(rotated().front());
  ASSERT_TRUE(set_mtime(theirs, time(nullptr) - 86400));
  for (int i = 0; i < 4; ++i) rotate();
  EXPECT_EQ(rotated().size(), 3u);
  EXPECT_TRUE(file_exists(theirs)) << "removed while another process writes into it";
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = -1;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(count_of(read_file(theirs), "other's late line\r\n"), 1u);
  rotate();
  EXPECT_FALSE(file_exists(theirs)) << "kept after its writer ended";
  EXPECT_EQ(rotated().size(), 2u);
  for (const int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// Replaces what changes from run to run: the directory, dates and times,
// rotated names' stamps, descriptors, thread handles and sizes.
std::string normalise(std::string text, const std::string& dir) {
  for (size_t at = text.find(dir); at != text.npos; at = text.find(dir, at)) {
    text.replace(at, dir.size(), "DIR");
  }
  static const std::pair<std::regex, const char*> kRules[] = {
      {std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)"), "DD.MM.YYYY hh:mm:ss"},
      {std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d\.\d\d)"), "DD.MM.YYYY hh:mm.ss"},
      {std::regex(R"(\d\d:\d\d\.\d\d\.\d{3} \d\d\.\d\d\.\d{4})"), "hh:mm.ss.mmm DD.MM.YYYY"},
      {std::regex(R"(app_20\d\d_\d\d_\d\d_\d\d_\d\d_\d\d_\d{3}\.log)"), "app_STAMP.log"},
      {std::regex(R"((hflog|thread|curfilesize|flushlog done) -?\d+)"), "$1 N"},
  };
  for (const auto& rule : kRules) text = std::regex_replace(text, rule.first, rule.second);
  return text;
}

// The flush thread's lines and the others, each in their order: where the
// thread's lines fall among the host's depends on scheduling.
// Lines joined with CR LF, each ended by one.
std::string crlf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

std::pair<std::vector<std::string>, std::vector<std::string>> by_thread(const std::string& text) {
  std::pair<std::vector<std::string>, std::vector<std::string>> out;
  for (const std::string& l : split_crlf(text)) {
    (l.compare(0, 17, "msg_flush_thread:") == 0 ? out.first : out.second).push_back(l);
  }
  return out;
}

TEST_F(RetentionFlow, FilesWithoutTheNewSettingsAreUnchanged) {
  const std::string old = "app_2020_01_01_00_00_00_000.log";
  plant(dir.file(old), start_header(path) + "an earlier run\r\n");
  log = open_log(path, LOGBIT_INTERNAL | 3);
  log->set_lib_desc("acquisition service");
  log->set_lib_vers("myhost", "2.3.1", "2024-01-10");
  log->writelog(1, "error %d", 7);
  log->writelog(2, "info %s", "text");
  log->writelog(2, 0x1234, "with value");
  log->writelog(2 | LOGBIT_NOCRLF, "no end ");
  log->writelog(2, "continued");
  log->writetime();
  log->flushlog();
  auto waits = [&](size_t n) {
    return wait_until([&] { return lines_in_dir(dir.path(), kVorWait) == n; });
  };
  ASSERT_EQ(log->start_flush_thread(), 0);
  ASSERT_TRUE(waits(1));
  log->writelog(2, "threaded");
  log->flushlog();
  ASSERT_TRUE(waits(2));
  // A bare request, which writes no line of its own, rotates.
  log->set_maxfilesize(1);
  {
    std::lock_guard<std::mutex> lock(log->flush_mutex);
    log->flush_cond.notify_one();
  }
  ASSERT_TRUE(waits(3));
  log->writelog(2, "after rotation");
  log.reset();

  const Names made = renamed_files(dir.path());
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(listing(), (Names{"app.log", old, *made.begin()}));
  EXPECT_EQ(read_file(dir.file(old)), start_header(path) + "an earlier run\r\n");
  const std::string rotated = crlf({
      "Logfile: DIR/app.log",
      "Logging started at DD.MM.YYYY hh:mm:ss ",
      "QEL Loglib Version: 1,1,0,24 created Dec 15 2022",
      "",
      "myhost Version: 2.3.1 created 2024-01-10",
      "Description: acquisition service",
      "",
      "ERROR error 7",
      "info text",
      "00001234 with value",
      "no end continued",
      "hh:mm.ss.mmm DD.MM.YYYY",
      "flushlog: flushlog start 8",
      "flushlog: flushlog done N",
      "start_flush_thread: thread N created",
      "msg_flush_thread: start",
      "msg_flush_thread: vor wait",
      "threaded",
      "flushlog: flushlog start 6",
      "flushlog: notify done",
      "flushlog: flushlog done N",
      "msg_flush_thread: call fsync",
      "msg_flush_thread: fsync done",
      "msg_flush_thread: vor wait",
      "create_next_file: curfilesize N hflog N file renamed to DIR/app_STAMP.log ",
  });
  const std::string live = crlf({
      "DIR/app.log",
      "logfile continued DD.MM.YYYY hh:mm:ss",
      "QEL Loglib Version: 1,1,0,24 created Dec 15 2022",
      "",
      "myhost Version: 2.3.1 created 2024-01-10",
      "Description: acquisition service",
      "",
      "create_next_file: open done now hflog N  ",
      "create_next_file: prev_hflog N  closed",
      "msg_flush_thread: vor wait",
      "after rotation",
      "stop_flush_thread: wait until thread N is closed",
      "msg_flush_thread: thread_run false break_loop",
      "stop_flush_thread: thread join done",
      "",
      "Logging ended at DD.MM.YYYY hh:mm.ss ",
      "------------------------------------------------------------------------",
      "",
      "",
  });
  for (const auto& f :
       {std::make_pair(*made.begin(), rotated), std::make_pair(std::string("app.log"), live)}) {
    const std::string got = normalise(read_file(dir.file(f.first)), dir.path());
    EXPECT_EQ(got.size(), f.second.size()) << f.first;
    EXPECT_EQ(by_thread(got), by_thread(f.second)) << f.first << ":\n" << got;
  }
}

}  // namespace
