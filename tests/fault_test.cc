// Real faults: a full disk, a file-size limit, a directory that goes away or
// refuses changes, a killed process. What returned must be in the file,
// whole; nothing may crash.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

constexpr char kText[] = "payload that makes a line of a decent length, 0123456789";

TEST(Fault, FileSizeLimitFailsWritesPartWayThrough) {
  TempDir dir;
  const std::string path = dir.file("limited.log");
  struct Counts {
    unsigned msgcount;
    unsigned long curfilesize;
    int returned;
  };
  Counts* shared = static_cast<Counts*>(
      mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  const ChildResult r = run_in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{20000, 20000};
    setrlimit(RLIMIT_FSIZE, &lim);
    CQel_Log log(path.c_str(), kCreate, 0644);
    for (int i = 0; i < 500; ++i) log.writelog(2, "W0 N%d %s", i, kText);
    shared->msgcount = log.get_msgcount();
    shared->curfilesize = log.get_curfilesize();
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  const std::string text = read_file(path);
  ASSERT_EQ(text.size(), 20000u);
  // Every write that was counted is in the file; the counters stopped at
  // the fault.
  EXPECT_LE(shared->curfilesize, 20000u);
  const Census c = census(dir.path(), 1, 500, kText);
  size_t complete = 0;
  while (complete < 500 && c.seen[0][complete] == 1) ++complete;
  for (size_t i = complete; i < 500; ++i) EXPECT_EQ(c.seen[0][i], 0) << i;
  EXPECT_EQ(shared->msgcount, 1u + complete);
  // The bytes the log counted are exactly the whole lines before the fault.
  EXPECT_EQ(text.substr(0, shared->curfilesize).find_last_of('\n') + 1, shared->curfilesize);
  EXPECT_LE(c.torn, 1u);  // at most the one line that hit the limit
  // One error line per failed write: the failed lines and the trailer.
  EXPECT_EQ(count_of(r.err, "Error in write to logfile " + path + ": "),
            static_cast<size_t>(500 - complete + 1))
      << r.err.substr(0, 300);
  munmap(shared, sizeof(Counts));
}

TEST(Fault, DirectoryRemovedWhileTheLogRuns) {
  TempDir dir;
  const std::string sub = dir.file("logs");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  const std::string path = sub + "/app.log";
  CQel_Log log(path.c_str(), kCreate, 0644);
  log.set_maxfilesize(0);
  log.start_flush_thread();
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  // Lines go on into the unlinked file; rotation cannot move it and leaves
  // the log as it is.
  for (int i = 0; i < 50; ++i) log.writelog(2, "line %d", i);
  log.flushlog();
  log.create_next_file();
  log.writelog(2, "still here");
  ASSERT_GE(log.get_filehandle(), 0);
  const std::string text = read_file("/proc/self/fd/" + std::to_string(log.get_filehandle()));
  EXPECT_NE(text.find("line 49\r\nstill here\r\n"), std::string::npos);
}

// Runs `body` as user nobody, in `dir` given to nobody.
ChildResult as_nobody(const std::string& dir, const std::function<int()>& body) {
  if (chown(dir.c_str(), nobody_uid(), nobody_gid()) != 0) return ChildResult{78, "", ""};
  return run_as_nobody(body);
}

TEST(Fault, ReadOnlyDirectoryKeepsTheLiveFileAndRefusesNewOnes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string sub = dir.file("ro");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  const std::string path = sub + "/app.log";
  const ChildResult r = as_nobody(sub, [&] {
    CQel_Log log(path.c_str(), kCreate, 0644);
    if (log.get_filehandle() < 0) return 1;
    log.set_logbits(LOGBIT_INTERNAL | 3);
    log.writelog(2, "before");
    chmod(sub.c_str(), 0555);
    log.create_next_file();  // the rename is refused
    log.writelog(2, "after");
    // A log file that cannot be created: a quiet object.
    CQel_Log denied((sub + "/new.log").c_str(), kCreate, 0644);
    if (denied.get_filehandle() != -1 || denied.get_logbits() != 0) return 2;
    denied.writelog(1, "nowhere");
    return 0;
  });
  ASSERT_EQ(r.status, 0) << r.err;
  chmod(sub.c_str(), 0755);
  const std::vector<std::string> l = body_lines(path);
  ASSERT_GE(l.size(), 3u);
  EXPECT_EQ(l[0], "before");
  EXPECT_NE(l[1].find("rename to"), std::string::npos);
  EXPECT_NE(l[1].find("failed 13"), std::string::npos) << l[1];
  EXPECT_EQ(l[2], "after");
  EXPECT_EQ(list_dir(sub), std::vector<std::string>{"app.log"});
}

TEST(Fault, KilledProcessKeepsEveryReturnedLine) {
  TempDir dir;
  const std::string path = dir.file("killed.log");
  constexpr int kWriters = 3;
  constexpr int kMax = 1000000;
  auto* returned = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>) * kWriters,
                                                       PROT_READ | PROT_WRITE,
                                                       MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  for (int w = 0; w < kWriters; ++w) new (&returned[w]) std::atomic<int>(-1);
  const pid_t pid = fork();
  if (pid == 0) {
    CQel_Log* log = new CQel_Log(path.c_str(), kCreate, 0644);
    log->set_maxfilesize(256 * 1024);
    log->start_flush_thread();
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([=] {
        for (int i = 0; i < kMax; ++i) {
          log->writelog(2, "W%d N%d %s", w, i, kText);
          returned[w].store(i);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    _exit(0);
  }
  ASSERT_TRUE(wait_until([&] { return returned[kWriters - 1].load() > 2000; }, 20000));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  // The kernel stops copying a write at a page boundary once SIGKILL is
  // pending: the write under way may leave the start of its line as the
  // end of a file. That line's call never returned; it is cut off here,
  // and every other line must be whole.
  size_t cut_short = 0;
  for (const std::string& name : list_dir(dir.path())) {
    const std::string text = read_file(dir.file(name));
    const size_t end = text.rfind("\r\n");
    const size_t whole = end == std::string::npos ? 0 : end + 2;
    if (whole == text.size()) continue;
    ++cut_short;
    ASSERT_EQ(truncate(dir.file(name).c_str(), static_cast<off_t>(whole)), 0);
  }
  EXPECT_LE(cut_short, 1u);
  const Census c = census(dir.path(), kWriters, kMax, kText);
  EXPECT_EQ(c.torn, 0u);
  size_t lost = 0;
  for (size_t w = 0; w < kWriters; ++w) {
    const auto returned_lines = static_cast<size_t>(returned[w].load() + 1);
    for (size_t i = 0; i < returned_lines; ++i) lost += c.seen[w][i] == 0;
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(c.repeated(), 0u);
  munmap(returned, sizeof(std::atomic<int>) * kWriters);
}

TEST(Fault, CapacitiesOfTheLineAndTheNames) {
  TempDir dir;
  const std::string path = dir.file("edges.log");
  CQel_Log log(path.c_str(), kCreate, 0644);
  log.set_logbits(0xffffffff & ~LOGBIT_NOCRLF);
  // Messages at and past the line capacity, with every prefix field.
  for (size_t len : {296u, 297u, 298u, 299u, 300u, 301u, 5000u}) {
    const std::string text(len, 'z');
    log.writelog(0x3, -1, "%s", text.c_str());
    log.writelog(0x3, "%s", text.c_str());
  }
  for (const std::string& l : body_lines(path)) EXPECT_LE(l.size(), 297u);
  // Host texts at and past their fields.
  const std::string t(500, 'h');
  log.set_lib_desc(t.c_str());
  log.set_lib_vers(t.c_str(), t.c_str(), t.c_str());
  log.create_next_file();
  EXPECT_EQ(std::strlen(log.lib_desc), 99u);
  // Extensions at 10 and 11 characters rotate to names that fit.
  for (const char* ext : {".123456789", ".1234567890"}) {
    CQel_Log e((dir.file("e") + ext).c_str(), kCreate, 0644);
    e.create_next_file();
    EXPECT_GE(e.get_filehandle(), 0);
  }
}

}  // namespace
