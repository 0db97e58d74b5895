// Rotation: when it happens, the rotated name, the continuation header, the
// new file's mode, and what the log does when moving or opening fails. The
// cases that hold for both rotation orders run once per order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/file_format.h"
#include "log/sys_calls.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

class RotationTest : public LogTest {
 protected:
  RotationTest() { log = open_log(path); }

  // The texts the last rotation made at its clock reading.
  std::string expected_rotated_name(const char* base, const char* ext) {
    char buf[qellog::kRotatedNameCapacity];
    qellog::format_rotated_name(buf, sizeof buf, base, local_tm(log->last_time),
                                log->last_time.tv_usec / 1000, ext);
    return buf;
  }
  std::string expected_continuation(const qellog::HostTexts& host = {"", "", "", ""}) {
    return expected_header(Header::kContinued, path, local_tm(log->last_time), host);
  }
};

// The classic order, or the tail-safe one: the same behaviour either way.
class EachOrder : public RotationTest, public ::testing::WithParamInterface<bool> {
 protected:
  EachOrder() { log->set_tailsafe(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(RotationTest, EachOrder, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& order) {
                           return order.param ? "Tailsafe" : "Classic";
                         });

// With the strict size limit the line that reaches the limit makes the
// flush thread rotate, with no flush request due; without it nothing
// rotates until a request comes.
TEST_P(EachOrder, StrictSizeRotatesAtTheLimitWithoutAFlushRequest) {
  log->set_flushcount(1000000);
  // Lines until the file reaches `limit`, their bytes counted here: once
  // the line that reaches it returns, the rotation may already have begun
  // the next file, whose size says nothing about this one.
  constexpr unsigned long kLineBytes = sizeof("line 000 of a file that fills up\r\n") - 1;
  const auto fill_to = [&](unsigned long limit) {
    log->set_maxfilesize(limit);
    for (unsigned long size = log->get_curfilesize(), i = 0; size < limit; size += kLineBytes) {
      log->writelog(2, "line %03lu of a file that fills up", i++);
    }
  };
  // The classic order shows the rotated name before the new file is in use.
  const auto rotated_and_begun = [&](size_t n) {
    return wait_until([&] { return rotated().size() == n && log->get_curfilesize() < 1024; });
  };
  log->start_flush_thread();
  fill_to(1024);
  log->stop_flush_thread();
  EXPECT_TRUE(rotated().empty()) << "rotated without a request";

  EXPECT_FALSE(log->get_strictsize());
  log->set_strictsize(true);
  EXPECT_TRUE(log->get_strictsize());
  // Raised before the thread starts: a file at the limit then would be
  // rotated at its first turn.
  const unsigned long raised = log->get_curfilesize() + 512;
  log->set_maxfilesize(raised);
  log->start_flush_thread();
  fill_to(raised);
  ASSERT_TRUE(rotated_and_begun(1));
  for (size_t n = 2; n <= 3; ++n) {
    fill_to(1024);
    ASSERT_TRUE(rotated_and_begun(n)) << n;
  }
  // The writer stopped at the line that reached the limit: files of the
  // limit and at most that line.
  const std::vector<std::string> names = rotated();
  for (size_t n = 1; n <= 2; ++n) {
    const size_t size = read_file(dir.file(names[n])).size();
    EXPECT_GE(size, 1024u) << names[n];
    EXPECT_LT(size, 1024u + kLineBytes) << names[n];
  }

  // Four writers that never pause: a writer that finds the file at twice
  // the limit waits for the rotation, so no file holds more than that and
  // one line of each writer, however far the flush thread lags.
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 3000; ++i) log->writelog(2, "writer %d line %04d of four", w, i);
    });
  }
  for (std::thread& t : writers) t.join();
  log->stop_flush_thread();
  for (const std::string& name : list_dir(dir.path())) {
    EXPECT_LE(read_file(dir.file(name)).size(), 2 * 1024u + 4 * 35) << name;
  }
}

// Sets or clears the immutable flag of the directory open as `fd`: nothing
// in it can be renamed or made.
bool set_immutable(int fd, bool on) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return false;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  return ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

// An immutable directory: the owner's create_next_file() tried three times,
// alone or after four writers and the flush thread (a request every 6
// writes), with and without Strictsize. The failure is said once, every
// line stays in the live file, and the rotation that succeeds once the
// flag is gone counts the tries that failed.
TEST_P(EachOrder, RotationThatKeepsFailingSaysSoOnceAndCountsItsTries) {
  const std::string failure =
      GetParam() ? "create_next_file: open .app.log.next failed 1\r\n" : " failed 1\r\n";
  const struct {
    int writers;
    bool strict;
  } cases[] = {{0, false}, {4, false}, {4, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.writers + c.strict);
    TempDir d;
    const int dir_fd = open(d.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    log = open_log(d.file("app.log"), LOGBIT_INTERNAL | 3);
    log->set_tailsafe(GetParam());
    log->set_flushcount(5);
    log->set_maxfilesize(1024);
    log->set_strictsize(c.strict);
    if (!set_immutable(dir_fd, true)) GTEST_SKIP() << "no immutable flag here";
    log->start_flush_thread();
    std::vector<std::thread> writers;
    for (int w = 0; w < c.writers; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < 300; ++i) log->writelog(2, "W%d N%d x", w, i);
      });
    }
    for (std::thread& t : writers) t.join();
    log->stop_flush_thread();
    for (int i = 0; i < 3; ++i) log->create_next_file();
    EXPECT_TRUE(set_immutable(dir_fd, false));
    close(dir_fd);
    log->create_next_file();
    EXPECT_EQ(rotated_files(d.path()).size(), 1u);
    std::string text;
    for (const std::string& name : list_dir(d.path())) text += read_file(d.file(name));
    EXPECT_EQ(count_of(text, failure), 1u) << text.substr(0, 4000);
    EXPECT_EQ(count_of(text, " x\r\n"), 300u * static_cast<unsigned>(c.writers));
    unsigned long tries = 0;
    const size_t said = std::min(text.find("create_next_file: rotated after "), text.size());
    EXPECT_EQ(std::sscanf(text.c_str() + said, "create_next_file: rotated after %lu failed tries",
                          &tries),
              1);
    EXPECT_TRUE(c.writers != 0 ? tries >= 3 : tries == 3) << tries;
  }
}

TEST_P(EachOrder, HappensOnlyAtAFlushRequestOnceTheSizeIsReached) {
  log->start_flush_thread();
  log->set_maxfilesize(200);
  for (int i = 0; i < 20; ++i) log->writelog(2, "line %02d of the first file", i);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(rotated().empty()) << "rotated without a flush request";
  const std::string before = read_file(path);

  log->flushlog();
  ASSERT_TRUE(wait_until([&] { return rotated().size() == 1; }));
  log->stop_flush_thread();  // the rotation's fields are read below
  const std::string name = rotated()[0];
  EXPECT_EQ(dir.file(name), expected_rotated_name(log->filename_base, ".log"));
  EXPECT_TRUE(is_rotated_name(name, "app", ".log")) << name;
  EXPECT_EQ(read_file(dir.file(name)), before);

  // With the host texts empty the header is 116 bytes plus the path.
  const std::string header = expected_continuation();
  EXPECT_EQ(header.size(), 116 + path.size());
  EXPECT_EQ(read_file(path), header);
  EXPECT_EQ(log->get_curfilesize(), header.size());
  log->writelog(2, "next");
  EXPECT_EQ(last_line(), "next");
}

TEST_P(EachOrder, SizeBoundaryAndZeroLimit) {
  // Each request waits for the thread's turn (FlushThreadTurns) and is a
  // bare notify, so that no line of its own changes the size.
  log->set_logbits(LOGBIT_INTERNAL | 3);
  FlushThreadTurns turns(dir.path());
  auto request = [&](unsigned long maxfilesize) {
    log->set_maxfilesize(maxfilesize);
    {
      std::lock_guard<std::mutex> lock(log->flush_mutex);
      log->flush_cond.notify_one();
    }
    return turns.next();
  };
  log->start_flush_thread();
  ASSERT_TRUE(turns.next());

  ASSERT_TRUE(request(log->get_curfilesize() + 1));  // one byte short: synced
  EXPECT_TRUE(rotated().empty());
  ASSERT_TRUE(request(log->get_curfilesize()));  // exactly at the limit: rotated
  EXPECT_EQ(rotated().size(), 1u);
  for (size_t want = 2; want <= 4; ++want) {
    ASSERT_TRUE(request(0));  // every request rotates, also right after one
    EXPECT_EQ(rotated().size(), want);
  }
}

TEST_P(EachOrder, HeaderCarriesTheHostBanner) {
  log->set_lib_desc("acquisition service");
  log->set_lib_vers("myhost", "2.3.1", "2024-01-10");
  log->create_next_file();
  const std::string header =
      expected_continuation({"myhost", "2.3.1", "2024-01-10", "acquisition service"});
  EXPECT_EQ(header.size(), 116 + path.size() + 6 + 5 + 10 + 15 + 19);
  EXPECT_EQ(read_file(path), header);
  EXPECT_EQ(log->get_curfilesize(), header.size());
}

TEST_P(EachOrder, DiagnosticLinesGoToTheRightFiles) {
  log->set_logbits(LOGBIT_INTERNAL | 3);
  const int old_fd = log->get_filehandle();
  const unsigned long old_size = log->get_curfilesize();
  log->create_next_file();
  ASSERT_EQ(rotated().size(), 1u);
  const std::string rotated_path = dir.file(rotated()[0]);
  const std::vector<std::string> old_lines = body_lines(rotated_path);
  ASSERT_FALSE(old_lines.empty());
  EXPECT_EQ(old_lines.back(), "create_next_file: curfilesize " + std::to_string(old_size) +
                                  " hflog " + std::to_string(old_fd) + " file renamed to " +
                                  rotated_path + " ");
  const int new_fd = log->get_filehandle();
  std::vector<std::string> now = split_crlf(read_file(path));
  ASSERT_GE(now.size(), 2u);
  EXPECT_EQ(now[now.size() - 2],
            "create_next_file: open done now hflog " + std::to_string(new_fd) + "  ");
  EXPECT_EQ(now.back(), "create_next_file: prev_hflog " + std::to_string(old_fd) + "  closed");
  // The old descriptor is closed.
  EXPECT_EQ(fcntl(old_fd == new_fd ? -1 : old_fd, F_GETFD), -1);
}

TEST_P(EachOrder, NameWithoutExtensionGetsTheStampAtTheEnd) {
  CQel_Log plain(dir.file("plain").c_str(), kCreate, 0644);
  plain.set_tailsafe(GetParam());
  plain.create_next_file();
  EXPECT_EQ(rotated_files(dir.path(), "plain", "").size(), 1u);
}

TEST_P(EachOrder, NewFileKeepsTheLogsModeLessTheUmask) {
  const std::string p = dir.file("m.log");
  {
    ScopedUmask mask(027);
    CQel_Log m(p.c_str(), kCreate, 0660);
    m.set_tailsafe(GetParam());
    m.create_next_file();
  }
  EXPECT_EQ(mode_of(p), 0640u);
  EXPECT_NE(fcntl(log->get_filehandle(), F_GETFL) & O_APPEND, 0);
}

// Back-to-back rotations, several within one millisecond: each file gets a
// rotated name of its own, and none stays under the tail-safe order's
// hidden name (where it would hold up every rotation for a minute).
TEST_P(EachOrder, RotationsWithinOneMillisecondKeepEveryFile) {
  for (int i = 0; i < 30; ++i) {
    log->writelog(2, "generation %d", i);
    log->create_next_file();
  }
  EXPECT_FALSE(file_exists(dir.file(".app.log.next")));
  const std::vector<std::string> files = rotated();
  ASSERT_EQ(files.size(), 30u);
  std::vector<int> seen(30, 0);
  for (const std::string& f : files) {
    for (const std::string& line : split_crlf(read_file(dir.file(f)))) {
      unsigned gen = 30;
      if (std::sscanf(line.c_str(), "generation %u", &gen) == 1 && gen < 30) ++seen[gen];
    }
  }
  EXPECT_EQ(seen, std::vector<int>(30, 1));
}

TEST_P(EachOrder, OwnerRotationWithFlushDueNeverDeadlocks) {
  // Called on a host thread without a flush thread, with every line due for
  // a flush: the rotation's own lines and header must not sync under the
  // lock the rotation holds. A hang is caught by the alarm.
  const ChildResult r = run_in_child([&] {
    alarm(30);
    log->set_logbits(LOGBIT_INTERNAL | 3);
    log->set_flushcount(0);
    log->create_next_file();
    log->writelog(2, "after");
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  // The count carried on: the first line after the rotation raised the flush.
  EXPECT_EQ(last_line(), "flushlog: flushlog done 1");
}

int refuse_rename(int, const char*, int, const char*, unsigned) {
  errno = EACCES;
  return -1;
}

// Strictsize for a file that came over its limit otherwise than line by
// line, and for a file that other processes write too: every line once; no
// file past twice the limit by more than a line per writer and one (with
// other processes, by a look's step more each, doubled here for the pieces
// in flight); the earlier run's file rotated at the flush thread's first
// turn, with no flush request ever.
TEST_F(RotationTest, StrictSizeHoldsForFilesThatCameOverAndForOtherProcesses) {
  constexpr int kThreads = 2, kLines = 1500;
  constexpr char kPayload[] = "a line of a writer that never pauses";  // 47 bytes a line
  const struct {
    const char* name;
    unsigned long before;   // bytes an earlier run left in the file
    int processes;          // on the same file, kThreads writers each
    unsigned long limit;    // at the start
    unsigned long lowered;  // the limit once the file is half past it
  } cases[] = {{"an earlier run's file half past the limit", 99000, 1, 65536, 0},
               {"a limit lowered below the file", 0, 1, 1 << 20, 8192},
               {"two processes", 0, 2, 16384, 0},
               {"three processes", 0, 3, 16384, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string d = dir.file(std::to_string(&c - cases)), live = d + "/app.log";
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    if (c.before != 0) write_file(live, std::string(c.before - 2, 'x') + "\r\n");
    const auto run = [&](int p) {
      CQel_Log l(live.c_str(), kCreate, 0644);
      l.set_flushcount(1000000);
      l.set_maxfilesize(c.limit);
      l.set_strictsize(true);
      if (l.start_flush_thread() != 0) return 1;
      if (c.before != 0 && !wait_until([&] { return rotated_files(d).size() == 1; })) return 2;
      while (l.get_curfilesize() < c.lowered * 3 / 2) l.writelog(2, "before the limit is lowered");
      if (c.lowered != 0) l.set_maxfilesize(c.lowered);
      std::vector<std::thread> writers;
      for (int w = p * kThreads; w < (p + 1) * kThreads; ++w) {
        writers.emplace_back([&, w] {
          for (int n = 0; n < kLines; ++n) l.writelog(2, "W%d N%d %s", w, n, kPayload);
        });
      }
      for (std::thread& w : writers) w.join();
      return 0;
    };
    const size_t writers = static_cast<size_t>(c.processes * kThreads);
    ASSERT_EQ(run_children(c.processes, run), std::vector<int>(writers / kThreads, 0));
    const Census census_of = census(d, writers, kLines, kPayload);
    EXPECT_EQ(census_of.missing() + census_of.repeated() + census_of.torn, 0u);
    const unsigned long limit = c.lowered != 0 ? c.lowered : c.limit, line = 47;
    const unsigned long looks = c.processes > 1 ? writers / kThreads * limit / 16 : 0;
    // The live file ends with the trailer its last log wrote at its end.
    char trailer[256];
    const unsigned long trailer_len = qellog::format_trailer(trailer, sizeof trailer, tm{});
    for (const std::string& name : list_dir(d)) {
      const std::string text = read_file(d + "/" + name);
      EXPECT_LE(text.size() - (ends_with_trailer(text) ? trailer_len : 0),
                2 * limit + looks + (writers + 1) * line)
          << name;
    }
    EXPECT_GE(rotated_files(d).size(), writers * kLines * line / (2 * limit));
  }
}

TEST_F(RotationTest, FailedRenameKeepsTheLiveFile) {
  log->set_logbits(LOGBIT_INTERNAL | 3);
  log->writelog(2, "before");
  const int fd = log->get_filehandle();
  {
    ScopedSeam<decltype(qellog::SysCalls::renameat2)> refused(qellog::sys.renameat2, refuse_rename);
    log->create_next_file();
  }
  log->writelog(2, "after");
  EXPECT_EQ(log->get_filehandle(), fd);
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0], "before");
  EXPECT_EQ(l[1].substr(0, 27), "create_next_file: rename to");
  EXPECT_EQ(l[1].substr(l[1].size() - 10), " failed 13");
  EXPECT_EQ(l[2], "after");
  EXPECT_TRUE(rotated().empty());
}

TEST_F(RotationTest, FailedOpenKeepsWritingAndLeaksNothing) {
  const ChildResult r = run_in_child([&] {
    log->set_logbits(LOGBIT_INTERNAL | 3);
    log->writelog(2, "before");
    const int fd = log->get_filehandle();
    // No descriptor left: the lowest free one is at the limit.
    const int probe = dup(0);
    close(probe);
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlimit tight{static_cast<rlim_t>(probe), lim.rlim_max};
    setrlimit(RLIMIT_NOFILE, &tight);
    log->create_next_file();
    log->writelog(2, "after");
    const int still = log->get_filehandle();
    setrlimit(RLIMIT_NOFILE, &lim);
    const int next = dup(0);  // no descriptor leaked: the same one is free
    close(next);
    if (still != fd) return 1;
    if (next != probe) return 2;
    if (!rotated().empty()) return 3;
    // Once descriptors are back, the next rotation succeeds.
    log->create_next_file();
    return rotated().size() == 1 ? 0 : 4;
  });
  ASSERT_EQ(r.status, 0);
  const std::vector<std::string> l = body_lines(dir.file(rotated()[0]));
  ASSERT_GE(l.size(), 4u);
  EXPECT_EQ(l[0], "before");
  EXPECT_NE(l[1].find("file renamed to"), std::string::npos);
  EXPECT_NE(l[2].find("failed 24, file renamed back"), std::string::npos) << l[2];
  EXPECT_EQ(l[3], "after");
}

}  // namespace
