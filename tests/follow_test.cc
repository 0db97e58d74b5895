// Following a file that another tool rotated (logrotate's create and
// copytruncate, a removed file, a quiet host with Reopeninterval), rotation
// by the clock, and the tail-safe rotation order, each against a live log.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/sys_calls.h"
#include "log/upkeep.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPayload[] = "payload of a numbered line";

size_t count_line(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (const std::string& l : split_crlf(text)) n += l == line;
  return n;
}

// The end of a file, for failure messages.
std::string tail_of(const std::string& path) {
  const std::string text = read_file(path);
  return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

bool has_line(const std::string& path, const std::string& line) {
  return count_line(read_file(path), line) != 0;
}

// The numbers of writer 0's whole lines in one file.
std::set<int> numbers_in(const std::string& path, int total) {
  std::set<int> seen;
  for (const std::string& l : split_crlf(read_file(path))) {
    int n = -1;
    int end = 0;
    if (std::sscanf(l.c_str(), "W0 N%d %n", &n, &end) == 1 && n >= 0 && n < total &&
        l.compare(static_cast<size_t>(end), std::string::npos, kPayload) == 0) {
      seen.insert(n);
    }
  }
  return seen;
}

// One thread writing "W<w> N<n> <payload>" with n counting up from `first`
// until stopped, about 20,000 lines a second at most.
class NumberedWriter {
 public:
  NumberedWriter(CQel_Log& log, int first, int writer = 0, int last = -1)
      : log_(log), writer_(writer), last_(last), next_(first), thread_([this] { run(); }) {}
  ~NumberedWriter() { stop(); }
  // Every number below this one has been written (its writelog returned);
  // a number above it has not begun.
  int next() const { return next_.load(); }
  int stop() {
    run_.store(false);
    if (thread_.joinable()) thread_.join();
    return next_.load();
  }
  bool wait_for(int n) const {
    return wait_until([&] { return next() >= n; }, 10000);
  }

 private:
  void run() {
    for (int n = next_.load(); run_.load() && n != last_; n = next_.load()) {
      log_.writelog(LOGBIT_INFO, "W%d N%d %s", writer_, n, kPayload);
      next_.store(n + 1);
      if (n % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(400));
    }
  }
  CQel_Log& log_;
  const int writer_;
  const int last_;
  std::atomic<int> next_;
  std::atomic<bool> run_{true};
  std::thread thread_;
};

// Raises one flush request on a log with its own diagnostics on that raises
// none by itself, and waits until the flush thread has served it: the
// thread either went on in another file or wrote its next "vor wait" line
// into the file it had.
bool serve_one_request(CQel_Log& log) {
  const int fd = log.get_filehandle();
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const int watch = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (watch == -1) return false;
  const std::string seen = "/proc/self/fd/" + std::to_string(watch);
  const size_t before = count_line(read_file(seen), kVorWait);
  log.flushlog();
  const bool ok = wait_until(
      [&] { return log.get_filehandle() != fd || count_line(read_file(seen), kVorWait) > before; });
  close(watch);
  return ok;
}

std::string reopened_line(const std::string& path, int fd, int previous) {
  return "reopen_file: " + path + " reopened, hflog " + std::to_string(fd) + ", previous " +
         std::to_string(previous) + " closed";
}

// Runs logrotate -f on a one-stanza configuration for `log` with the
// given method line; its state file lives beside the configuration.
int run_logrotate(const TempDir& etc, const std::string& log, const std::string& method) {
  const std::string conf = etc.file(method + ".conf");
  write_file(conf, log + " {\n    rotate 5\n    " + method + "\n    missingok\n}\n");
  const std::string cmd = "logrotate -f -s " + etc.file("state") + " " + conf;
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

class FollowTest : public LogTest {
 protected:
  void SetUp() override {
    if (std::system("command -v logrotate >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "logrotate not installed (scripts/setup.sh installs it)";
    }
    log = open_log(path, LOGBIT_INTERNAL | 3, 0600);
    log->set_flushcount(1000000);  // checks only at the requests raised here
    log->set_maxfilesize(1ul << 30);
    log->set_reopen(true);
    ASSERT_EQ(log->start_flush_thread(), 0);
  }
  void TearDown() override {
    writer.reset();
    log.reset();
  }

  // logrotate's create: lines go on into app.log.1 until the check raised
  // by a flush request, and into the new app.log from then on.
  void rotate_with_create() {
    ASSERT_TRUE(writer->wait_for(2000));
    const int before = log->get_filehandle();
    ASSERT_EQ(run_logrotate(etc, path, "create"), 0);
    ASSERT_TRUE(file_exists(path + ".1"));
    log->flushlog();
    ASSERT_TRUE(wait_until([&] { return log->get_filehandle() != before; }));
    const std::string line = reopened_line(path, log->get_filehandle(), before);
    ASSERT_TRUE(wait_until([&] { return has_line(path, line); })) << tail_of(path);
    after_create = writer->next();
    ASSERT_TRUE(writer->wait_for(after_create + 2000));
  }

  // copytruncate: the same file emptied in place; the size count restarts
  // from what the file holds at the check.
  void rotate_with_copytruncate() {
    // The check before it sees the file at its full size.
    ASSERT_TRUE(serve_one_request(*log));
    before_copy = writer->next();
    ASSERT_EQ(run_logrotate(etc, path, "copytruncate"), 0);
    log->flushlog();
    const std::string line = "reopen_file: " + path + " was truncated to ";
    ASSERT_TRUE(wait_until([&] { return read_file(path).find(line) != std::string::npos; }))
        << tail_of(path);
    after_truncate = writer->next();
    ASSERT_TRUE(writer->wait_for(after_truncate + 500));
    total = writer->stop();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LE(log->get_curfilesize(), static_cast<unsigned long>(st.st_size))
        << "the size count still holds what the truncation removed";
  }

  // Every number in exactly one file: lines from the create check up to the
  // copy in the copy (app.log.1), lines after the truncation check in
  // app.log. Only copytruncate may lose lines: those written between its
  // copy and its truncation, one run of numbers from the one writer.
  void check_numbers() {
    const std::set<int> live = numbers_in(path, total);
    const std::set<int> copy = numbers_in(path + ".1", total);
    const std::set<int> moved = numbers_in(path + ".2", total);
    std::vector<int> missing;
    for (int n = 0; n < total; ++n) {
      const size_t copies = live.count(n) + copy.count(n) + moved.count(n);
      ASSERT_LE(copies, 1u) << "line " << n << " written twice";
      if (copies == 0) missing.push_back(n);
      if (n > after_create && n < before_copy) {
        ASSERT_EQ(copy.count(n), 1u) << "line " << n << " after the create check not in app.log.1";
      }
      if (n > after_truncate) {
        ASSERT_EQ(live.count(n), 1u) << "line " << n << " not in app.log";
      }
    }
    std::printf("%d lines; copytruncate lost %zu\n", total, missing.size());
    if (missing.empty()) return;
    // The line numbered before_copy may have been under way at the copy.
    EXPECT_GE(missing.front(), before_copy);
    EXPECT_LE(missing.back(), after_truncate);
    EXPECT_EQ(missing.back() - missing.front() + 1, static_cast<int>(missing.size()));
  }

  // The name removed: a new file at the second check in a row, with the
  // log's mode, never at the first.
  void remove_the_file() {
    ASSERT_EQ(unlink(path.c_str()), 0);
    const int before = log->get_filehandle();
    ASSERT_TRUE(serve_one_request(*log));
    EXPECT_FALSE(file_exists(path)) << "created at the first check";
    EXPECT_EQ(log->get_filehandle(), before);
    ASSERT_TRUE(serve_one_request(*log));
    ASSERT_TRUE(file_exists(path)) << "not created at the second check";
    ASSERT_NE(log->get_filehandle(), before);
    const std::string line = reopened_line(path, log->get_filehandle(), before);
    EXPECT_TRUE(wait_until([&] { return has_line(path, line); })) << tail_of(path);
    EXPECT_EQ(mode_of(path), 0600u);
  }

  // A quiet host: Reopeninterval alone finds a moved file, within a
  // second or two of polling.
  void follow_on_a_quiet_host() {
    log->set_reopeninterval(1);
    const int before = log->get_filehandle();
    ASSERT_EQ(rename(path.c_str(), (path + ".moved").c_str()), 0);
    write_file(path, "");
    const Clock::time_point moved = Clock::now();
    ASSERT_TRUE(wait_until([&] { return log->get_filehandle() != before; }, 6000))
        << "a moved file was not followed without requests";
    const double seconds = std::chrono::duration<double>(Clock::now() - moved).count();
    EXPECT_LT(seconds, 3.5);
    std::printf("quiet host: the moved file was followed after %.2f s\n", seconds);
  }

  TempDir etc;
  ScopedUmask mask{022};  // the new file's mode below is 0600 exactly
  std::unique_ptr<NumberedWriter> writer;
  int after_create = 0;
  int before_copy = 0;
  int after_truncate = 0;
  int total = 0;
};

TEST_F(FollowTest, LogrotateCreateCopytruncateRemovalAndQuietHost) {
  writer = std::make_unique<NumberedWriter>(*log, 0);
  ASSERT_NO_FATAL_FAILURE(rotate_with_create());
  ASSERT_NO_FATAL_FAILURE(rotate_with_copytruncate());
  ASSERT_NO_FATAL_FAILURE(check_numbers());
  ASSERT_NO_FATAL_FAILURE(remove_the_file());
  ASSERT_NO_FATAL_FAILURE(follow_on_a_quiet_host());
}

// A log opened without O_CREAT never makes its file: a removed name stays
// missing however many checks pass, and the log writes on where it was.
using ReopenTest = LogTest;

TEST_F(ReopenTest, WithoutOCreatARemovedFileIsNotCreated) {
  write_file(path, "");
  CQel_Log plain(path.c_str(), O_WRONLY, 0644);
  plain.set_logbits(LOGBIT_INTERNAL | 3);
  plain.set_flushcount(1000000);
  plain.set_reopen(true);
  ASSERT_EQ(plain.start_flush_thread(), 0);
  const int fd = plain.get_filehandle();
  ASSERT_EQ(unlink(path.c_str()), 0);
  for (int check = 1; check <= 3; ++check) {
    ASSERT_TRUE(serve_one_request(plain));
    EXPECT_FALSE(file_exists(path)) << "created at check " << check;
  }
  EXPECT_EQ(plain.get_filehandle(), fd);
}

// Rotation by the clock, with the clock under the test's control for as
// long as the log and its flush thread live.
std::atomic<time_t> g_now{0};
time_t test_clock() { return g_now.load(); }

class RotatetimeTest : public LogTest {
 protected:
  ~RotatetimeTest() override { log.reset(); }
  void TearDown() override { umount2(dir.file("ram").c_str(), MNT_DETACH); }
  // Waits `ms` of real time and returns how many rotated files there are.
  size_t rotated_after(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return rotated().size();
  }
  ScopedSeam<time_t (*)()> clock{qellog::sys.wall_clock, test_clock};
};

TEST_F(RotatetimeTest, HourlyRotationFollowsTheClockAndSkipsAHeaderOnlyFile) {
  g_now = 1796812200;  // 2026-12-09 10:30:00 UTC: the file begins
  log = open_log(path);
  log->set_rotatetime(ROTATETIME_HOURLY);
  ASSERT_EQ(log->start_flush_thread(), 0);
  log->writelog(LOGBIT_INFO, "in the ten o'clock file");

  g_now = 1796813999;  // 10:59:59
  EXPECT_EQ(rotated_after(2500), 0u) << "rotated before the top of the hour";
  g_now = 1796814000;  // 11:00:00
  // The rotated name shows before the new file is in use; the clock moves
  // on only once it is.
  const int ten_oclock_file = log->get_filehandle();
  ASSERT_TRUE(wait_until(
      [&] { return rotated().size() == 1 && log->get_filehandle() != ten_oclock_file; }, 10000))
      << "no rotation at the top of the hour";
  EXPECT_EQ(body_lines(dir.file(rotated()[0])),
            std::vector<std::string>{"in the ten o'clock file"});

  // The new file holds its header only: the next hour passes without it.
  g_now = 1796817605;  // 12:00:05
  EXPECT_EQ(rotated_after(2500), 1u) << "a file with only its header rotated";
  log->writelog(LOGBIT_INFO, "in the eleven o'clock file");
  EXPECT_TRUE(wait_until([&] { return rotated().size() == 2; }, 10000))
      << "no rotation once the file held a line";
}

// Time rotation after the wall clock stepped, and on a ramfs (no birth
// time), at the flush thread's first turn and its timed wake-ups, called
// here one by one. Each row opens a log at `open_at` over what another run
// or tool left (`head`, last changed at 09:50), writes a line and takes the
// clock through `steps`, the first of them the first turn, each with the
// rotated files there are by then.
TEST_F(RotatetimeTest, ClockStepsAndFilesWithoutBirthTime) {
  const std::string ram = dir.file("ram");
  ASSERT_EQ(mkdir(ram.c_str(), 0755), 0);
  if (mount("none", ram.c_str(), "ramfs", 0, nullptr) != 0) GTEST_SKIP() << "no ramfs here";
  constexpr time_t k1030 = 1796812200, k1100 = k1030 + 1800, kYear = 365 * 86400;  // UTC
  const struct {
    const char* name;
    std::string head;  // empty: a new file
    time_t open_at;
    std::vector<std::pair<time_t, size_t>> steps;  // the clock, the rotated files
  } cases[] = {
      {"a clock a year ahead, put right after the first turn",
       "",
       k1030 + kYear,
       {{k1030 + kYear, 0}, {k1030, 0}, {k1100 - 1, 0}, {k1100, 1}}},
      {"a clock a year ahead, put right before the first turn",
       "",
       k1030 + kYear,
       {{k1030, 0}, {k1100 - 1, 0}, {k1100, 1}}},
      {"a header an hour ahead",
       expected_header(Header::kStart, ram + "/2/app.log", calendar(2026, 12, 9, 11, 30)),
       k1030,
       {{k1030, 1}}},
      {"no header: from its first sight",
       "another tool's line\r\n",
       k1030,
       {{k1030, 0}, {k1100 - 1, 0}, {k1100, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string d = ram + "/" + std::to_string(&c - cases);
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    if (!c.head.empty()) {
      write_file(d + "/app.log", c.head);
      ASSERT_TRUE(set_mtime(d + "/app.log", k1030 - 2400));
    }
    g_now = c.open_at;
    log = open_log(d + "/app.log");
    log->set_rotatetime(ROTATETIME_HOURLY);
    log->writelog(LOGBIT_INFO, "a line");
    for (const auto& [now, rotated] : c.steps) {
      g_now = now;
      (&now == &c.steps[0].first ? qellog::at_first_turn : qellog::on_timed_wakeup)(*log);
      EXPECT_EQ(rotated_files(d).size(), rotated) << "at " << now;
    }
    log.reset();
  }
}

// Every line of writer w numbered below counts[w] exactly once in the
// directory, no other numbered line, nothing torn.
void expect_each_line_once(const std::string& dir, const std::vector<size_t>& counts) {
  const size_t most = *std::max_element(counts.begin(), counts.end());
  const Census c = census(dir, counts.size(), most, kPayload);
  for (size_t w = 0; w < counts.size(); ++w) {
    for (size_t n = 0; n < most; ++n) {
      ASSERT_EQ(c.seen[w][n], n < counts[w] ? 1 : 0) << "writer " << w << " line " << n;
    }
  }
  EXPECT_EQ(c.torn, 0u);
  EXPECT_EQ(c.unterminated_files, 0u);
}

// The tail-safe order under load: the flush thread rotates at every 4 kb
// while 4 threads write and another looks the live name up without pause,
// until 60 rotations have passed. The name is never missing, every line is
// in the files exactly once, nothing is left under the hidden name.
using TailsafeTest = LogTest;

TEST_F(TailsafeTest, WritersAndManyRotationsNeverLoseTheLiveName) {
  log = open_log(path);
  log->set_tailsafe(true);
  log->set_flushcount(10);
  log->set_maxfilesize(4096);
  ASSERT_EQ(log->start_flush_thread(), 0);
  std::atomic<bool> polling{true};
  std::atomic<long> polls{0};
  std::atomic<long> missing{0};
  std::thread poller([&] {
    struct stat st;
    while (polling.load()) {
      if (stat(path.c_str(), &st) != 0 && errno == ENOENT) ++missing;
      ++polls;
    }
  });
  std::vector<size_t> counts;
  {
    std::vector<std::unique_ptr<NumberedWriter>> writers;
    for (int w = 0; w < 4; ++w) writers.push_back(std::make_unique<NumberedWriter>(*log, 0, w));
    // A request that comes while the thread is busy is not queued, and the
    // looking thread takes a core: how fast rotations come varies a lot.
    EXPECT_TRUE(wait_until([&] { return rotated().size() >= 60; }, 30000));
    for (auto& w : writers) counts.push_back(static_cast<size_t>(w->stop()));
  }
  log.reset();
  polling = false;
  poller.join();
  EXPECT_EQ(missing.load(), 0) << "the live name was missing in " << missing << " of " << polls
                               << " looks";
  EXPECT_GT(polls.load(), 1000);
  std::printf("%zu rotations, the live name looked up %ld times\n", rotated().size(), polls.load());
  EXPECT_FALSE(file_exists(dir.file(".app.log.next")));
  expect_each_line_once(dir.path(), counts);
}

// Plants `content` under the hidden name, last modified `age` seconds ago.
void plant_hidden(const std::string& hidden, const std::string& content, int age) {
  write_file(hidden, content);
  ASSERT_TRUE(set_mtime(hidden, time(nullptr) - age));
}

TEST_F(TailsafeTest, LeftOverHiddenFileIsKeptWhenOldAndWaitedForWhenYoung) {
  const std::string hidden = dir.file(".app.log.next");
  log = open_log(path, LOGBIT_INTERNAL | 3);
  log->set_tailsafe(true);

  // Young: a rotation may still be using it; this one waits.
  ASSERT_NO_FATAL_FAILURE(plant_hidden(hidden, "young left-over\r\n", 0));
  const int fd = log->get_filehandle();
  log->writelog(LOGBIT_INFO, "first file");
  log->create_next_file();
  EXPECT_EQ(log->get_filehandle(), fd);
  EXPECT_TRUE(rotated().empty());
  EXPECT_EQ(read_file(hidden), "young left-over\r\n");

  // Old: kept under a rotated name, then the rotation goes on.
  ASSERT_NO_FATAL_FAILURE(plant_hidden(hidden, "old left-over\r\n", 120));
  log->create_next_file();
  const std::vector<std::string> files = rotated();
  std::string kept;
  for (const std::string& n : files) {
    if (read_file(dir.file(n)) == "old left-over\r\n") kept = n;
  }
  ASSERT_NE(kept, "") << "the left-over's content was not kept";
  EXPECT_NE(log->get_filehandle(), fd);
  EXPECT_FALSE(file_exists(hidden)) << "the old file stayed under the hidden name";
  ASSERT_EQ(files.size(), 2u);
  const std::vector<std::string> lines = body_lines(dir.file(files[files[0] == kept]));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "first file");
  EXPECT_EQ(lines[1], "create_next_file: .app.log.next in use, rotation postponed");
  EXPECT_EQ(lines[2], "create_next_file: left-over .app.log.next kept as " + dir.file(kept));
}

}  // namespace
