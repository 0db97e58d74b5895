// Faults injected through the engine's table of system calls: a disk that
// fills, a directory that refuses a change, a process out of descriptors,
// each on one call, and what the log shows of it. No special file system,
// no fork, no rlimit.
#include "log/sys_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/upkeep.h"
#include "log_test_util.h"

using namespace qellog_test;
using qellog::kSystemCalls;

namespace {

// What the faked calls refuse: the name (or, for a write, the text) they
// fail on, and the errno they fail with.
struct Fault {
  const char* target;
  int err;
} g_fault;

ssize_t write_fails(int fd, const void* data, size_t len) {
  if (memmem(data, len, g_fault.target, std::strlen(g_fault.target)) == nullptr) {
    return kSystemCalls.write(fd, data, len);
  }
  errno = g_fault.err;
  return -1;
}
int create_fails(int dir_fd, const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0 || std::strcmp(path, g_fault.target) != 0) {
    return kSystemCalls.openat(dir_fd, path, flags, mode);
  }
  errno = g_fault.err;
  return -1;
}
int exchange_fails(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  if ((flags & RENAME_EXCHANGE) == 0)
    return kSystemCalls.renameat2(from_dir, from, to_dir, to, flags);
  errno = g_fault.err;
  return -1;
}
int unlink_fails(int, const char*, int) {
  errno = g_fault.err;
  return -1;
}

class SysCallsTest : public LogTest {
 protected:
  // The lines after the header of `leaf` (a start header, or a
  // continuation header when `kind` says so), each matched as a fnmatch(3)
  // pattern ("*" for a path or a number).
  void expect_lines(const std::string& leaf, Header kind,
                    const std::vector<std::string>& patterns) {
    std::vector<std::string> got = split_crlf(read_file(dir.file(leaf)));
    const size_t header = count_of(expected_header(kind, path, calendar(2026, 1, 1)), "\r\n");
    ASSERT_GE(got.size(), header);
    got.erase(got.begin(), got.begin() + static_cast<long>(header));
    ASSERT_EQ(got.size(), patterns.size()) << read_file(dir.file(leaf));
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(fnmatch(patterns[i].c_str(), got[i].c_str(), 0), 0) << got[i];
    }
  }
};

TEST_F(SysCallsTest, EachInjectedFaultShowsAsTheLogPromises) {
  const std::string moved = "create_next_file: curfilesize * hflog * file renamed to */app_*.log ";
  // What each case does with the fault in place: writes the line "doomed",
  // rotates, or rotates twice and runs retention for one rotated file.
  enum Act { kWrite, kRotate, kRotateAndPrune };
  const struct {
    const char* name;
    Fault fault;
    void (*fake)(qellog::SysCalls&);
    bool tailsafe;
    Act act;
    std::vector<std::string> live;    // the lines of app.log
    std::vector<std::string> hidden;  // of .app.log.next, tail-safe rotation's new file
    size_t rotated;
  } cases[] = {
      {"a line's write finds the disk full: that line is lost and counted, the next one whole",
       {"doomed", ENOSPC},
       [](qellog::SysCalls& c) { c.write = write_fails; },
       false,
       kWrite,
       {"before", "after"},
       {},
       0},
      {"a rotation's new file cannot be created: the old file gets its name back",
       {"app.log", ENOSPC},
       [](qellog::SysCalls& c) { c.openat = create_fails; },
       false,
       kRotate,
       {"before", moved, "create_next_file: open */app.log failed 28, file renamed back", "after"},
       {},
       0},
      {"tail-safe rotation's exchange is refused: the new file stays hidden and takes the lines",
       {"", EACCES},
       [](qellog::SysCalls& c) { c.renameat2 = exchange_fails; },
       true,
       kRotate,
       {"before", moved},
       {"create_next_file: rename to */app_*.log failed 13",
        "create_next_file: open done now hflog *", "create_next_file: prev_hflog * closed",
        "after"},
       0},
      {"retention may not remove a file: it says so, and the file stays",
       {"", EACCES},
       [](qellog::SysCalls& c) { c.unlinkat = unlink_fails; },
       false,
       kRotateAndPrune,
       {"create_next_file: open done now hflog *", "create_next_file: prev_hflog * closed",
        "remove_rotated_files: remove app_*.log failed 13", "after"},
       {},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& f : list_dir(dir.path())) unlink(dir.file(f).c_str());
    log = open_log(path, LOGBIT_INTERNAL | 3);
    log->set_tailsafe(c.tailsafe);
    log->writelog(2, "before");
    g_fault = c.fault;
    qellog::SysCalls calls = kSystemCalls;
    c.fake(calls);
    {
      ScopedSeam<qellog::SysCalls> faked(qellog::sys, calls);
      if (c.act == kWrite) log->writelog(2, "doomed");
      if (c.act != kWrite) log->create_next_file();
      if (c.act == kRotateAndPrune) {
        log->create_next_file();
        log->set_maxfilecount(1);
        qellog::after_rotation(*log);
      }
    }
    log->writelog(2, "after");
    EXPECT_EQ(log->get_lostcount(), c.act == kWrite ? 1u : 0u);
    expect_lines("app.log", c.act == kRotateAndPrune ? Header::kContinued : Header::kStart, c.live);
    if (!c.hidden.empty()) expect_lines(".app.log.next", Header::kContinued, c.hidden);
    EXPECT_EQ(rotated().size(), c.rotated);
    log.reset();
  }
}

TEST_F(SysCallsTest, ALogWhoseOpenFindsNoDescriptorIsQuietAndLeaksNone) {
  const int probe = dup(0);
  close(probe);
  g_fault = {"app.log", EMFILE};
  {
    qellog::SysCalls calls = kSystemCalls;
    calls.openat = create_fails;
    ScopedSeam<qellog::SysCalls> faked(qellog::sys, calls);
    log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0644);
  }
  EXPECT_EQ(log->get_filehandle(), -1);
  EXPECT_EQ(log->get_logbits(), 0u);
  log.reset();
  EXPECT_FALSE(file_exists(path));
  const int after = dup(0);  // the log's directory was closed with it
  close(after);
  EXPECT_EQ(after, probe);
}

}  // namespace
