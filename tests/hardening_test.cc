// The log's file handling against other users and other processes: planted
// symlinks, the rotation race, restarts on a file that holds bytes, a live
// file deleted or moved away, relative names after chdir, dots in directory
// names, and a new file that cannot take its header.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "log/sys_calls.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

constexpr char kVictimText[] = "root's data\r\n";
constexpr char kOtherProcess[] = "pid 4242 line 1\r\npid 4242 line 2\r\n";

// The continuation header the log's last rotation wrote, from its clock
// reading.
std::string continuation_header(const CQel_Log& log) {
  return expected_header(Header::kContinued, log.filename, local_tm(log.last_time));
}

// The two lines a successful rotation writes into its new file.
std::string open_done_lines(int new_fd, int old_fd) {
  return "create_next_file: open done now hflog " + std::to_string(new_fd) +
         "  \r\ncreate_next_file: prev_hflog " + std::to_string(old_fd) + "  closed\r\n";
}

// ---------------------------------------------------------------------------

TEST(Hardening, PlantedSymlinkIsFollowedOnlyInTheUsersOwnDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  TempDir dir;
  const std::string victim = dir.file("victim");
  write_file(victim, kVictimText);
  const auto dir_with_link = [&](const char* sub, uid_t owner, mode_t mode,
                                 const std::string& target) {
    const std::string d = dir.file(sub);
    EXPECT_EQ(mkdir(d.c_str(), 0700), 0);
    EXPECT_EQ(chown(d.c_str(), owner, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(chmod(d.c_str(), mode), 0);
    EXPECT_EQ(symlink(target.c_str(), (d + "/app.log").c_str()), 0);
    return d + "/app.log";
  };
  // The link in the sticky directory is root's: the kernel's
  // protected_symlinks, where enabled, refuses only links of other users.
  const struct {
    const char* label;
    std::string path;
  } planted[] = {
      {"directory of user nobody", dir_with_link("theirs", nobody->pw_uid, 0755, victim)},
      {"root's directory, 01777", dir_with_link("shared", 0, 01777, victim)},
  };
  for (const auto& c : planted) {
    SCOPED_TRACE(c.label);
    CQel_Log log(c.path.c_str(), kCreate, 0644);
    EXPECT_EQ(log.hflog, -1);
    EXPECT_EQ(log.get_logbits(), 0u);
    log.writelog(1, "lands nowhere");
    EXPECT_EQ(read_file(victim), kVictimText);
  }

  // A user's own symlinked log: root's directory, writable by root alone.
  const std::string link = dir_with_link("own", 0, 0755, "real.log");
  const std::string real = dir.file("own/real.log");
  write_file(real, "earlier run\r\n");
  {
    CQel_Log log(link.c_str(), kCreate, 0644);
    ASSERT_NE(log.hflog, -1);
    log.writelog(2, "through the link");
  }
  const std::vector<std::string> lines = split_crlf(read_file(real));
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "earlier run");
  EXPECT_EQ(lines[1], "Logfile: " + link);
  EXPECT_EQ(lines[5], "through the link");
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// ---------------------------------------------------------------------------

// What appears under the live name between the move and the open.
enum class Plant { kSymlinkToVictim, kOtherProcessFile, kFifoWithReader, kFifoWithoutReader };
Plant g_plant;
std::string g_victim;
int g_fifo_reader = -1;

void plant(int dir_fd, const char* leaf) {
  switch (g_plant) {
    case Plant::kSymlinkToVictim:
      symlinkat(g_victim.c_str(), dir_fd, leaf);
      break;
    case Plant::kOtherProcessFile: {
      const int fd = openat(dir_fd, leaf, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (write(fd, kOtherProcess, sizeof kOtherProcess - 1) < 0) std::abort();
      close(fd);
      break;
    }
    case Plant::kFifoWithReader:
    case Plant::kFifoWithoutReader:
      mkfifoat(dir_fd, leaf, 0666);
      if (g_plant == Plant::kFifoWithReader) {
        g_fifo_reader = openat(dir_fd, leaf, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      }
      break;
  }
}

// A fresh log with one line, rotated once with `what` planted in the race.
struct RaceRun {
  TempDir dir;
  std::string path = dir.file("app.log");
  std::unique_ptr<CQel_Log> log;
  int old_fd = -1;

  explicit RaceRun(Plant what) {
    g_plant = what;
    g_victim = dir.file("victim");
    write_file(g_victim, kVictimText);
    log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0644);
    log->set_logbits(LOGBIT_INTERNAL | 3);
    log->writelog(2, "before");
    old_fd = log->hflog;
  }
  void rotate_and_write() {
    {
      ScopedSeam<void (*)(int, const char*)> planting(qellog::sys.after_move_aside, plant);
      log->create_next_file();
    }
    log->writelog(2, "after");
  }
  // The body of the one rotated file.
  std::vector<std::string> rotated_lines() const {
    const std::vector<std::string> names = rotated_files(dir.path());
    return names.size() == 1 ? body_lines(dir.file(names[0])) : std::vector<std::string>{};
  }
  // The lines a rotation whose open failed with `err` leaves in the rotated
  // file, followed by the next line.
  std::vector<std::string> after_failed_open(int err) const {
    return {"create_next_file: open " + path + " failed " + std::to_string(err) +
                ", writing on to the rotated file",
            "after"};
  }
};

std::vector<std::string> last_two(const std::vector<std::string>& v) {
  return v.size() < 2 ? v : std::vector<std::string>(v.end() - 2, v.end());
}

TEST(Hardening, NameTakenDuringRotationIsNeverFollowedOrTruncated) {
  ScopedEnv tz("TZ", "UTC0");
  {
    SCOPED_TRACE("symlink to a victim file");
    RaceRun run(Plant::kSymlinkToVictim);
    run.rotate_and_write();
    EXPECT_EQ(read_file(g_victim), kVictimText);
    EXPECT_EQ(run.log->hflog, run.old_fd);
    // The rotated file cannot get its name back (the link holds it), so the
    // log writes on to it under the rotated name.
    EXPECT_EQ(last_two(run.rotated_lines()), run.after_failed_open(40));
  }
  {
    SCOPED_TRACE("another process's file");
    RaceRun run(Plant::kOtherProcessFile);
    run.rotate_and_write();
    const int fd = run.log->hflog;
    ASSERT_NE(fd, run.old_fd);
    const std::string own =
        continuation_header(*run.log) + open_done_lines(fd, run.old_fd) + "after\r\n";
    EXPECT_EQ(read_file(run.path), kOtherProcess + own);
    EXPECT_EQ(run.log->get_curfilesize(), own.size());
    EXPECT_EQ(run.rotated_lines().at(0), "before");
  }
  {
    SCOPED_TRACE("FIFO with a reader");
    RaceRun run(Plant::kFifoWithReader);
    run.rotate_and_write();
    EXPECT_EQ(run.log->hflog, run.old_fd);
    EXPECT_EQ(last_two(run.rotated_lines()), run.after_failed_open(22));
    char byte;
    EXPECT_EQ(read(g_fifo_reader, &byte, 1), 0) << "something was written to the FIFO";
    close(g_fifo_reader);
  }
  {
    SCOPED_TRACE("FIFO without a reader");
    RaceRun run(Plant::kFifoWithoutReader);
    const ChildResult r = run_in_child([&] {
      alarm(10);  // an open that blocks ends the child with SIGALRM
      run.rotate_and_write();
      return run.log->hflog == run.old_fd ? 0 : 1;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(last_two(run.rotated_lines()), run.after_failed_open(6));
  }
}

// ---------------------------------------------------------------------------

TEST(Hardening, RestartsCountEarlierRunsTowardTheSizeLimit) {
  TempDir dir;
  const std::string path = dir.file("app.log");
  constexpr unsigned long kLimit = 10 * 1024;
  constexpr unsigned long kOneRun = 4096;  // above what one run below writes
  FlushThreadTurns turns(dir.path());
  for (int run = 0; run < 30; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const unsigned long before = file_size(path);
    const size_t rotations = rotated_files(dir.path()).size();
    CQel_Log log(path.c_str(), kCreate, 0644);
    ASSERT_NE(log.hflog, -1);
    EXPECT_EQ(log.get_curfilesize(), file_size(path) - before);
    log.set_logbits(LOGBIT_INTERNAL | 3);
    log.set_maxfilesize(kLimit);
    ASSERT_EQ(log.start_flush_thread(), 0);
    ASSERT_TRUE(turns.next());
    for (int i = 0; i < 150; ++i) log.writelog(2, "run %02d line %03d", run, i);
    log.flushlog();
    ASSERT_TRUE(turns.next());
    log.stop_flush_thread();
    const unsigned long now = file_size(path);
    const bool rotated = rotated_files(dir.path()).size() > rotations;
    // Only this object's bytes: all of the file after its own rotation.
    EXPECT_EQ(log.get_curfilesize(), rotated ? now : now - before);
    EXPECT_LT(log.get_curfilesize(), kOneRun);
    EXPECT_LE(now, kLimit + kOneRun);
  }
  const std::vector<std::string> rotated = rotated_files(dir.path());
  EXPECT_GE(rotated.size(), 1u);
  for (const std::string& name : rotated) {
    const unsigned long size = file_size(dir.file(name));
    EXPECT_GE(size, kLimit) << name << " was rotated before it reached the limit";
    EXPECT_LE(size, kLimit + kOneRun) << name;
  }
  std::printf("rotated files: %zu\n", rotated.size());
}

// ---------------------------------------------------------------------------

TEST(Hardening, LiveFileDeletedOrMovedAwayIsReplacedAtTheNextRotation) {
  ScopedEnv tz("TZ", "UTC0");
  for (const bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "deleted" : "moved away");
    TempDir dir;
    const std::string path = dir.file("app.log");
    CQel_Log log(path.c_str(), kCreate, 0644);
    log.set_logbits(LOGBIT_INTERNAL | 3);
    log.writelog(2, "before");
    // The test's own descriptor keeps a deleted file readable.
    const int old_file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(old_file, -1);
    ASSERT_EQ(deleted ? unlink(path.c_str()) : rename(path.c_str(), dir.file("moved").c_str()), 0);
    const int old_fd = log.hflog;
    log.create_next_file();
    const int new_fd = log.hflog;
    ASSERT_NE(new_fd, old_fd);
    EXPECT_EQ(fcntl(old_fd, F_GETFD), -1) << "the old descriptor is still open";
    log.writelog(2, "after");

    const std::vector<std::string> expected_names =
        deleted ? std::vector<std::string>{"app.log"}
                : std::vector<std::string>{"app.log", "moved"};
    EXPECT_EQ(list_dir(dir.path()), expected_names);
    const std::vector<std::string> old_lines = split_crlf(read_fd(old_file));
    close(old_file);
    ASSERT_GE(old_lines.size(), 2u);
    EXPECT_EQ(old_lines[old_lines.size() - 2], "before");
    EXPECT_EQ(old_lines.back(), "create_next_file: " + path + " is gone, a new file starts");
    EXPECT_EQ(read_file(path),
              continuation_header(log) + open_done_lines(new_fd, old_fd) + "after\r\n");
  }
}

// ---------------------------------------------------------------------------

TEST(Hardening, RelativeNameRotatesInItsOwnDirectoryAfterChdir) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
  const std::string others = "another program's line\r\n";
  write_file(dir.file("b/app.log"), others);
  ScopedCwd in_a(dir.file("a"));
  CQel_Log log("app.log", kCreate, 0644);
  ASSERT_NE(log.hflog, -1);
  log.writelog(2, "written in a");
  {
    ScopedCwd in_b(dir.file("b"));
    log.create_next_file();
    log.writelog(2, "after the rotation");
  }
  EXPECT_STREQ(log.filename, "app.log");
  EXPECT_EQ(read_file(dir.file("b/app.log")), others);
  EXPECT_EQ(list_dir(dir.file("b")), std::vector<std::string>{"app.log"});
  const std::vector<std::string> rotated = rotated_files(dir.file("a"));
  ASSERT_EQ(rotated.size(), 1u);
  EXPECT_EQ(list_dir(dir.file("a")).size(), 2u);
  EXPECT_EQ(body_lines(dir.file("a/" + rotated[0])), std::vector<std::string>{"written in a"});
  const std::vector<std::string> now = split_crlf(read_file(dir.file("a/app.log")));
  ASSERT_GE(now.size(), 2u);
  EXPECT_EQ(now[0], "app.log");
  EXPECT_EQ(now[1].substr(0, 18), "logfile continued ");
  EXPECT_EQ(now.back(), "after the rotation");
}

TEST(Hardening, DotInADirectoryNameStaysOutOfTheRotatedName) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("x.d").c_str(), 0755), 0);
  const std::string path = dir.file("x.d/app");
  CQel_Log log(path.c_str(), kCreate, 0644);
  ASSERT_NE(log.hflog, -1);
  // The public fields split at the last dot anywhere, as they always did.
  EXPECT_STREQ(log.extension, ".d/app");
  EXPECT_EQ(std::string(log.filename_base), dir.file("x"));
  log.writelog(2, "before");
  log.create_next_file();
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"x.d"});
  const std::vector<std::string> names = list_dir(dir.file("x.d"));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "app");
  EXPECT_TRUE(is_rotated_name(names[1], "app", "")) << names[1];
  EXPECT_EQ(body_lines(dir.file("x.d/" + names[1])), std::vector<std::string>{"before"});
}

// ---------------------------------------------------------------------------

TEST(Hardening, NewFileWithoutItsHeaderIsRemovedAndTheMoveUndone) {
  ScopedEnv tz("TZ", "UTC0");
  TempDir dir;
  const std::string path = dir.file("app.log");
  const std::string desc(99, 'd');
  const ChildResult r = run_in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    CQel_Log log(path.c_str(), kCreate, 0644);
    log.set_logbits(3);
    // The description goes into the next continuation header only, making
    // it over 100 bytes longer than the start header.
    log.set_lib_desc(desc.c_str());
    log.writelog(2, "before");
    const int fd = log.hflog;
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    // Room for one more line in the live file, none for the new header.
    const rlimit tight{static_cast<rlim_t>(file_size(path) + 40), old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tight);
    log.create_next_file();
    log.writelog(2, "after a failed rotation");
    const bool undone = log.hflog == fd && list_dir(dir.path()).size() == 1;
    setrlimit(RLIMIT_FSIZE, &old);
    log.create_next_file();
    log.writelog(2, "after a good rotation");
    if (!undone) return 1;
    return log.hflog != fd ? 0 : 2;
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.substr(0, r.err.find(": ") + 2), "Error in write to logfile " + path + ": ");
  const std::vector<std::string> rotated = rotated_files(dir.path());
  ASSERT_EQ(rotated.size(), 1u);
  EXPECT_EQ(body_lines(dir.file(rotated[0])),
            (std::vector<std::string>{"before", "after a failed rotation"}));
  const std::vector<std::string> now = split_crlf(read_file(path));
  ASSERT_GE(now.size(), 8u);
  EXPECT_EQ(now[0], path);
  EXPECT_EQ(now[5], "Description: " + desc);
  EXPECT_EQ(now[7], "after a good rotation");
}

}  // namespace
