// Rotation: when it happens, the rotated name, the continuation header, the
// new file's mode, and what the log does when moving or opening fails.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log/file_format.h"
#include "log/log_path.h"

#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

class RotationTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedEnv tz{"TZ", "UTC0"};
  std::string path = dir.file("app.log");
  std::unique_ptr<CQel_Log> log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0644);

  // Files beside the live one.
  std::vector<std::string> rotated() {
    std::vector<std::string> out;
    for (const std::string& n : list_dir(dir.path())) {
      if (n != "app.log") out.push_back(n);
    }
    return out;
  }
  // The texts the rotation made at its clock reading; the texts themselves
  // are checked against literals in file_format_test.
  std::string expected_rotated_name(const char* base, const char* ext) {
    char buf[qellog::kRotatedNameCapacity];
    qellog::format_rotated_name(buf, sizeof buf, base, local_tm(log->last_time),
                                log->last_time.tv_usec / 1000, ext);
    return buf;
  }
  std::string expected_header(const char* name, const char* vers, const char* created,
                              const char* desc) {
    char buf[qellog::kHeaderCapacity];
    const size_t n = qellog::format_continuation_header(
        buf, sizeof buf, path.c_str(), local_tm(log->last_time), {name, vers, created, desc});
    return std::string(buf, n);
  }
};

// With the strict size limit the line that reaches the limit makes the
// flush thread rotate, with no flush request due; without it nothing
// rotates until a request comes.
TEST_F(RotationTest, StrictSizeRotatesAtTheLimitWithoutAFlushRequest) {
  log->set_flushcount(1000000);
  const auto fill_to = [&](unsigned long limit) {
    log->set_maxfilesize(limit);
    for (int i = 0; log->get_curfilesize() < limit; ++i) {
      log->writelog(2, "line %03d of a file that fills up", i);
    }
  };
  log->start_flush_thread();
  fill_to(1024);
  log->stop_flush_thread();
  EXPECT_TRUE(rotated().empty()) << "rotated without a request";

  EXPECT_FALSE(log->get_strictsize());
  log->set_strictsize(true);
  EXPECT_TRUE(log->get_strictsize());
  log->start_flush_thread();
  fill_to(log->get_curfilesize() + 512);
  ASSERT_TRUE(wait_until([&] { return rotated().size() == 1; }));
  for (size_t n = 2; n <= 3; ++n) {
    fill_to(1024);
    ASSERT_TRUE(wait_until([&] { return rotated().size() == n; })) << n;
  }
  // The writer stopped at the line that reached the limit: files of the
  // limit and at most that line (lines here are 41 bytes).
  std::vector<std::string> names = rotated();
  std::sort(names.begin(), names.end());
  for (size_t n = 1; n <= 2; ++n) {
    const size_t size = read_file(dir.file(names[n])).size();
    EXPECT_GE(size, 1024u) << names[n];
    EXPECT_LT(size, 1024u + 41) << names[n];
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

TEST_F(RotationTest, HappensOnlyAtAFlushRequestOnceTheSizeIsReached) {
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
  const std::string header = expected_header("", "", "", "");
  EXPECT_EQ(header.size(), 116 + path.size());
  EXPECT_EQ(read_file(path), header);
  EXPECT_EQ(log->get_curfilesize(), header.size());
  log->writelog(2, "next");
  EXPECT_EQ(body_lines(path).back(), "next");
}

TEST_F(RotationTest, SizeBoundaryAndZeroLimit) {
  // Requests are not queued: one that comes while the thread is busy is
  // lost. So each request here waits until the thread has written its
  // "vor wait" line, which it does holding the mutex that a request takes,
  // and is a bare notify, so that no line of its own changes the size.
  log->set_logbits(LOGBIT_INTERNAL | 3);
  size_t waits = 0;
  auto vor_wait_lines = [&] {
    size_t n = 0;
    for (const std::string& f : list_dir(dir.path())) {
      for (const std::string& l : split_crlf(read_file(dir.file(f)))) {
        n += l == "msg_flush_thread: vor wait";
      }
    }
    return n;
  };
  auto served = [&] {
    const bool ok = wait_until([&] { return vor_wait_lines() > waits; });
    waits = vor_wait_lines();
    return ok;
  };
  auto request = [&](unsigned long maxfilesize) {
    log->set_maxfilesize(maxfilesize);
    {
      std::lock_guard<std::mutex> lock(log->flush_mutex);
      log->flush_cond.notify_one();
    }
    return served();
  };
  log->start_flush_thread();
  ASSERT_TRUE(served());

  ASSERT_TRUE(request(log->get_curfilesize() + 1));  // one byte short: synced
  EXPECT_TRUE(rotated().empty());
  ASSERT_TRUE(request(log->get_curfilesize()));  // exactly at the limit: rotated
  EXPECT_EQ(rotated().size(), 1u);
  for (size_t want = 2; want <= 4; ++want) {
    ASSERT_TRUE(request(0));  // every request rotates, also right after one
    EXPECT_EQ(rotated().size(), want);
  }
}

TEST_F(RotationTest, HeaderCarriesTheHostBanner) {
  log->set_lib_desc("acquisition service");
  log->set_lib_vers("myhost", "2.3.1", "2024-01-10");
  log->create_next_file();
  const std::string header =
      expected_header("myhost", "2.3.1", "2024-01-10", "acquisition service");
  EXPECT_EQ(header.size(), 116 + path.size() + 6 + 5 + 10 + 15 + 19);
  EXPECT_EQ(read_file(path), header);
  EXPECT_EQ(log->get_curfilesize(), header.size());
}

TEST_F(RotationTest, DiagnosticLinesGoToTheRightFiles) {
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
  EXPECT_EQ(now[now.size() - 2], "create_next_file: open done now hflog " +
                                     std::to_string(new_fd) + "  ");
  EXPECT_EQ(now.back(), "create_next_file: prev_hflog " + std::to_string(old_fd) + "  closed");
  // The old descriptor is closed.
  EXPECT_EQ(fcntl(old_fd == new_fd ? -1 : old_fd, F_GETFD), -1);
}

TEST_F(RotationTest, NameWithoutExtensionGetsTheStampAtTheEnd) {
  const std::string bare = dir.file("plain");
  CQel_Log plain(bare.c_str(), kCreate, 0644);
  plain.create_next_file();
  bool found = false;
  for (const std::string& n : list_dir(dir.path())) {
    found |= is_rotated_name(n, "plain", "");
  }
  EXPECT_TRUE(found);
}

TEST_F(RotationTest, NewFileKeepsTheLogsModeLessTheUmask) {
  const mode_t old = umask(027);
  const std::string p = dir.file("m.log");
  {
    CQel_Log m(p.c_str(), kCreate, 0660);
    m.create_next_file();
  }
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(fcntl(log->get_filehandle(), F_GETFL) & O_APPEND, 0);
}

TEST_F(RotationTest, RotationsWithinOneMillisecondKeepEveryFile) {
  log->set_logbits(3);
  for (int i = 0; i < 30; ++i) {
    log->writelog(2, "generation %d", i);
    log->create_next_file();
  }
  const std::vector<std::string> files = rotated();
  ASSERT_EQ(files.size(), 30u);
  std::vector<bool> seen(30, false);
  for (const std::string& f : files) {
    const std::vector<std::string> l = split_crlf(read_file(dir.file(f)));
    ASSERT_FALSE(l.empty());
    const int gen = std::stoi(l.back().substr(std::strlen("generation ")));
    ASSERT_GE(gen, 0);
    ASSERT_LT(gen, 30);
    EXPECT_FALSE(seen[gen]) << f;
    seen[gen] = true;
  }
}

TEST_F(RotationTest, OwnerRotationWithFlushDueNeverDeadlocks) {
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
  const std::vector<std::string> l = body_lines(path);
  ASSERT_FALSE(l.empty());
  // The count carried on: the first line after the rotation raised the flush.
  EXPECT_EQ(l.back(), "flushlog: flushlog done 1");
}

TEST_F(RotationTest, FailedRenameKeepsTheLiveFile) {
  qellog::g_renameat2 = [](int, const char*, int, const char*, unsigned) {
    errno = EACCES;
    return -1;
  };
  log->set_logbits(LOGBIT_INTERNAL | 3);
  log->writelog(2, "before");
  const int fd = log->get_filehandle();
  log->create_next_file();
  qellog::g_renameat2 = ::renameat2;
  log->writelog(2, "after");
  EXPECT_EQ(log->get_filehandle(), fd);
  const std::vector<std::string> l = body_lines(path);
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
  const std::string old = dir.file(rotated()[0]);
  const std::vector<std::string> l = body_lines(old);
  ASSERT_GE(l.size(), 4u);
  EXPECT_EQ(l[0], "before");
  EXPECT_NE(l[1].find("file renamed to"), std::string::npos);
  EXPECT_NE(l[2].find("failed 24, file renamed back"), std::string::npos) << l[2];
  EXPECT_EQ(l[3], "after");
}

}  // namespace
