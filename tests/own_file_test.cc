// The log's names hold only its own regular file: a live name that is not a
// regular file is never rotated, nothing another user plants hangs the host
// or receives its lines, retention is exact for the log's own files, sane
// with a wrong clock and bounded in cost, time rotation keeps up under load
// and across restarts, and a piece never glues onto a cut-short one.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/file_format.h"
#include "log/reopen.h"
#include "log/retention.h"
#include "log/rotation.h"
#include "log/upkeep.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

constexpr uid_t kNobody = 65534;
constexpr char kPayload[] = "a numbered line long enough to cross a page of the disk now and then";

size_t count_in(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != text.npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Everything in the files of `dir` (and what it was given), as one text.
std::string all_text(const std::string& dir) {
  std::string out;
  for (const std::string& n : list_dir(dir)) out += read_file(dir + "/" + n);
  return out;
}

std::vector<std::string> rotated_of(const std::string& dir, const std::string& stem) {
  std::vector<std::string> out;
  for (const std::string& n : list_dir(dir)) {
    if (is_rotated_name(n, stem, ".log")) out.push_back(n);
  }
  return out;
}

// "<stem>_YYYY_MM_DD_hh_mm_ss_000.log" for local time `t` (TZ is UTC).
std::string stamped(const std::string& stem, time_t t) {
  struct tm cal;
  gmtime_r(&t, &cal);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s_%04d_%02d_%02d_%02d_%02d_%02d_000.log", stem.c_str(),
                cal.tm_year + 1900, cal.tm_mon + 1, cal.tm_mday, cal.tm_hour, cal.tm_min,
                cal.tm_sec);
  return buf;
}

void set_mtime(const std::string& path, time_t t) {
  const timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string g_planted;  // what the race below plants, as user nobody

void plant_foreign_file(int, const char*) {
  const int fd = open(g_planted.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 || fchown(fd, kNobody, kNobody) != 0 || fchmod(fd, 0666) != 0) std::abort();
  close(fd);
}

std::atomic<time_t> g_now{0};
time_t test_clock() { return g_now.load(); }

class Quiet : public qellog::RetentionReport {
 public:
  void removed(const char* name) override { names.push_back(name); }
  void failed(const char*, int) override {}
  std::vector<std::string> names;
};

class OwnFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); }
  void TearDown() override {
    qellog::g_wall_clock = saved_clock;
    if (mounted) umount2(mnt.c_str(), MNT_DETACH);
  }
  // A directory every user may write to, as /tmp is.
  std::string shared() {
    const std::string d = dir.file("shared");
    mkdir(d.c_str(), 0755);
    chmod(d.c_str(), 01777);
    return d;
  }
  // A file of user nobody under `path`, holding `content`.
  static void plant_as_nobody(const std::string& path, const std::string& content, time_t age = 0) {
    write_file(path, content);
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    if (age != 0) set_mtime(path, time(nullptr) - age);
  }
  std::unique_ptr<CQel_Log> open_log(const std::string& path) {
    auto log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0600);
    log->set_logbits(LOGBIT_INTERNAL | 3);
    return log;
  }
  bool mount_small_disk() {
    mkdir(mnt.c_str(), 0755);
    mounted = mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=160k") == 0;
    return mounted;
  }

  TempDir dir;
  ScopedEnv tz{"TZ", "UTC0"};
  std::string mnt = dir.file("mnt");
  bool mounted = false;
  time_t (*saved_clock)() = qellog::g_wall_clock;
};

// ---------------------------------------------------------------------------

TEST_F(OwnFile, LiveNameThatIsNotARegularFileIsNeverMoved) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
  fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20);
  // /dev/stdout as a container has it: a symlink to /proc/self/fd/N.
  ASSERT_EQ(symlink(("/proc/self/fd/" + std::to_string(pipe_fds[1])).c_str(),
                    dir.file("stdout").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const int fifo_reader = open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  // Room for all the log writes: they are read only afterwards.
  fcntl(fifo_reader, F_SETPIPE_SZ, 1 << 20);
  write_file(dir.file("target.log"), "");
  ASSERT_EQ(symlink("target.log", dir.file("link.log").c_str()), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  }
  const std::vector<std::string> names = list_dir(dir.path());
  const struct {
    const char* name;
    mode_t type;
    int reader;  // what the log wrote arrives here, or in target.log
  } cases[] = {{"stdout", S_IFLNK, pipe_fds[0]}, {"fifo", S_IFIFO, fifo_reader},
               {"link.log", S_IFLNK, -1}, {"null", S_IFCHR, -2}};
  for (const auto& c : cases) {
    if (c.reader == -2 && !root) continue;
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    {
      auto log = open_log(path);
      ASSERT_NE(log->hflog, -1);
      log->set_maxfilesize(1);  // every request would rotate
      log->set_flushcount(20);
      log->set_reopen(true);
      ASSERT_EQ(log->start_flush_thread(), 0);
      for (int i = 0; i < 500; ++i) log->writelog(2, "line %03d", i);
      log->create_next_file();
    }
    EXPECT_EQ(list_dir(dir.path()), names);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, c.type);
    if (c.reader == -2) continue;
    std::string got;
    char buf[65536];
    for (ssize_t n; c.reader >= 0 && (n = read(c.reader, buf, sizeof buf)) > 0;) got.append(buf, n);
    if (c.reader < 0) got = read_file(dir.file("target.log"));
    EXPECT_EQ(count_in(got, "create_next_file: " + path + " is not a regular file, rotation is off\r\n"), 1u);
    EXPECT_EQ(count_in(got, "\r\nline "), 500u);
    EXPECT_NE(got.find("line 499\r\n"), std::string::npos);
  }
  close(fifo_reader);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

// ---------------------------------------------------------------------------

TEST_F(OwnFile, NothingAnotherUserPlantsHangsTheHostOrReceivesItsLines) {
  if (geteuid() != 0) GTEST_SKIP() << "planting files of another user needs root";
  const std::string d = shared();
  {
    SCOPED_TRACE("a FIFO without a reader at the live name");
    ASSERT_EQ(mkfifo((d + "/fifo.log").c_str(), 0666), 0);
    ASSERT_EQ(chown((d + "/fifo.log").c_str(), kNobody, kNobody), 0);
    const ChildResult r = run_in_child([&] {
      alarm(10);  // a blocking open ends the child with SIGALRM
      CQel_Log log((d + "/fifo.log").c_str(), kCreate, 0600);
      return log.hflog == -1 && log.get_logbits() == 0 ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0);
    unlink((d + "/fifo.log").c_str());
  }
  {
    SCOPED_TRACE("the live name taken by another user during rotation");
    const std::string path = d + "/app.log";
    auto log = open_log(path);
    log->writelog(2, "before");
    g_planted = path;
    qellog::g_after_move_aside = plant_foreign_file;
    log->create_next_file();
    qellog::g_after_move_aside = nullptr;
    log->writelog(2, "secret");
    log->create_next_file();  // the name is still theirs
    log->writelog(2, "still secret");
    EXPECT_EQ(read_file(path), "");
    const std::vector<std::string> rotated = rotated_of(d, "app");
    ASSERT_EQ(rotated.size(), 1u);
    const std::string text = read_file(d + "/" + rotated[0]);
    EXPECT_EQ(count_in(text, "create_next_file: open " + path +
                                 " failed 1, writing on to the rotated file\r\n"), 1u);
    EXPECT_EQ(count_in(text, "create_next_file:"), 2u) << "refusals said once per file";
    EXPECT_NE(text.find("secret\r\nstill secret\r\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("reopening onto another user's file");
    const std::string path = d + "/re.log";
    auto log = open_log(path);
    log->set_reopen(true);
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    plant_as_nobody(path, "");
    qellog::check_reopen(*log);
    qellog::check_reopen(*log);
    log->writelog(2, "secret");
    EXPECT_EQ(read_file(path), "");
    const std::string kept = read_file(path + ".1");
    EXPECT_EQ(count_in(kept, "reopen_file: " + path + " is not the log's own file, left as it is\r\n"), 1u);
    EXPECT_NE(kept.find("secret\r\n"), std::string::npos);
  }
  const std::string path = d + "/ts.log";
  const std::string hidden = d + "/.ts.log.next";
  auto log = open_log(path);
  log->set_tailsafe(true);
  {
    SCOPED_TRACE("another user's fresh hidden file");
    plant_as_nobody(hidden, "");
    for (int i = 0; i < 2; ++i) {
      log->writelog(2, "generation %d", i);
      log->create_next_file();
    }
    EXPECT_EQ(rotated_of(d, "ts").size(), 2u) << "rotation was held up";
    EXPECT_EQ(count_in(all_text(d), "create_next_file: .ts.log.next is not the log's own file, "
                                    "rotating in the usual order\r\n"), 2u);  // once per file
    unlink(hidden.c_str());
  }
  const std::string forged = path + "\r\nlogfile continued 01.01.2020 00:00:00\r\n"
                             "QEL Loglib Version: 1,1,0,24 created Dec 15 2022\r\n\r\nforged line\r\n";
  const struct {
    const char* label;
    bool theirs;
    std::string content;
    bool adopted;
  } left_overs[] = {{"forged by another user", true, forged, false},
                    {"the log's own without a header", false, "no header\r\n", false},
                    {"the log's own", false, forged, true}};
  for (const auto& l : left_overs) {
    SCOPED_TRACE(l.label);
    write_file(hidden, l.content);
    if (l.theirs) {
      ASSERT_EQ(chown(hidden.c_str(), kNobody, kNobody), 0);
    }
    set_mtime(hidden, time(nullptr) - 7200);
    const size_t before = rotated_of(d, "ts").size();
    log->create_next_file();
    EXPECT_EQ(file_exists(hidden), !l.adopted);
    EXPECT_EQ(rotated_of(d, "ts").size(), before + (l.adopted ? 2 : 1));
    size_t holding = 0;
    for (const std::string& n : rotated_of(d, "ts")) holding += read_file(d + "/" + n) == l.content;
    EXPECT_EQ(holding, l.adopted ? 1u : 0u);
    unlink(hidden.c_str());
  }
}

// ---------------------------------------------------------------------------

TEST_F(OwnFile, RetentionIsExactForItsOwnFilesSaneWithAWrongClockAndBounded) {
  {
    SCOPED_TRACE("files this process rotated, a few a second");
    auto log = open_log(dir.file("app.log"));
    log->set_maxfilecount(3);
    for (size_t i = 1; i <= 8; ++i) {
      log->writelog(2, "rotation %zu", i);
      log->create_next_file();
      qellog::after_rotation(*log);
      EXPECT_EQ(rotated_of(dir.path(), "app").size(), std::min<size_t>(i, 3));
    }
  }
  {
    SCOPED_TRACE("a file that another log of the same file still writes into");
    const std::string d = dir.file("two");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    auto mine = open_log(d + "/app.log");
    auto other = open_log(d + "/app.log");
    mine->set_maxfilecount(1);
    other->writelog(2, "other's line");
    for (int i = 0; i < 2; ++i) {
      mine->create_next_file();
      qellog::after_rotation(*mine);
    }
    other->writelog(2, "other's late line");
    EXPECT_EQ(count_in(all_text(d), "other's late line\r\n"), 1u);
    EXPECT_EQ(rotated_of(d, "app").size(), 2u);
  }
  const time_t now = time(nullptr);
  const auto plant_own = [&](const std::string& d, const std::string& name, const char* leaf,
                             time_t mtime) {
    write_file(d + "/" + name, "Logfile: " + d + "/" + leaf +
                                   "\r\nLogging started at 01.01.2020 00:00:00 \r\n");
    set_mtime(d + "/" + name, mtime);
  };
  {
    SCOPED_TRACE("three files stamped a year ahead, three real ones");
    const std::string d = dir.file("clock");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    std::vector<std::string> future;
    for (int i = 0; i < 3; ++i) {
      future.push_back(stamped("app", now + 365 * 86400 + i));
      plant_own(d, future.back(), "app.log", now - 600);
      plant_own(d, stamped("app", now - 600 - 60 * i), "app.log", now - 600 - 60 * i);
    }
    const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Quiet report;
    EXPECT_EQ(qellog::prune_rotated_files(fd, "app.log", {3, 0, 0}, now, report), 3);
    close(fd);
    std::sort(report.names.begin(), report.names.end());
    EXPECT_EQ(report.names, future);
  }
  {
    SCOPED_TRACE("a backlog behind 1500 newer look-alikes");
    const std::string d = dir.file("backlog");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    for (int i = 0; i < 2000; ++i) {
      plant_own(d, stamped("app", now - 86400 * 30 + i), i < 500 ? "app.log" : "other.log",
                now - 3600);
    }
    const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    qellog::RetentionMemory memory;
    std::vector<int> removed;
    for (int pass = 0; pass < 4; ++pass) {
      Quiet report;
      removed.push_back(qellog::prune_rotated_files(fd, "app.log", {3, 0, 0}, now, report, &memory));
    }
    close(fd);
    // 1024 heads a pass: the first finds no cut, the next ones go on.
    EXPECT_EQ(removed, (std::vector<int>{0, 256, 241, 0}));
  }
}

// ---------------------------------------------------------------------------

TEST_F(OwnFile, TimeRotationUnderLoadAndAcrossRestarts) {
  qellog::g_wall_clock = test_clock;
  {
    SCOPED_TRACE("requests every few milliseconds across the top of the hour");
    g_now = 1796812200;  // 10:30:00: the file begins
    auto log = open_log(dir.file("busy.log"));
    log->set_rotatetime(ROTATETIME_HOURLY);
    log->set_flushcount(2);
    ASSERT_EQ(log->start_flush_thread(), 0);
    std::atomic<bool> run{true};
    std::thread writer([&] {
      while (run.load()) {
        log->writelog(2, "busy");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    g_now = 1796814000;  // 11:00:00
    EXPECT_TRUE(wait_until([&] { return rotated_of(dir.path(), "busy").size() == 1; }, 10000));
    run = false;
    writer.join();
  }
  {
    SCOPED_TRACE("a host restarted on a file begun an hour ago");
    const std::string path = dir.file("restart.log");
    g_now = time(nullptr);
    open_log(path)->writelog(2, "first run");
    g_now = time(nullptr) + 3600;
    auto log = open_log(path);
    log->set_rotatetime(ROTATETIME_HOURLY);
    ASSERT_EQ(log->start_flush_thread(), 0);
    log->writelog(2, "second run");
    EXPECT_TRUE(wait_until([&] {
      log->flushlog();
      return rotated_of(dir.path(), "restart").size() == 1;
    }, 10000));
  }
  // Without a birth time, the first header tells when the file began.
  const struct {
    std::string head;
    time_t began;  // -1: no header
  } heads[] = {{"Logfile: /x/a.log\r\nLogging started at 05.03.2024 14:07:09 \r\n", 1709647629},
               {"/x/a.log\r\nlogfile continued 06.03.2024 00:00:01\r\n", 1709683201},
               {"/x/a.log\r\nsomething else 06.03.2024 00:00:01\r\n", -1},
               {"Logfile: /x/a.log\r\nLogging started at 32.03.2024 14:07:09 \r\n", -1}};
  for (const auto& h : heads) {
    struct tm cal;
    const bool found = qellog::header_time(h.head.data(), h.head.size(), &cal);
    EXPECT_EQ(found ? timegm(&cal) : -1, h.began) << h.head;
  }
}

// ---------------------------------------------------------------------------

// Each line of `text` after its header is whole, a record, or the start of
// one numbered line, never the start of one with another glued to it.
void expect_nothing_glued(const std::string& text, int writers, unsigned long lost, bool record) {
  unsigned long recorded = 0;
  for (const std::string& l : split_crlf(text)) {
    int w = -1, n = -1;
    unsigned long count = 0;
    if (std::sscanf(l.c_str(), "ERROR write_to_file: %lu lines lost", &count) == 1) {
      if (l.find(", last error ") != l.npos) recorded += count;  // not a cut one
    } else if (std::sscanf(l.c_str(), "W%d N%d ", &w, &n) == 2) {
      // A cut may fall between the CR and the LF.
      const std::string piece = "W" + std::to_string(w) + " N" + std::to_string(n) + " " +
                                kPayload + "\r\n";
      EXPECT_TRUE(w < writers && piece.compare(0, l.size(), l) == 0) << "glued: " << l;
    } else {
      EXPECT_TRUE(l.empty() || l[0] != 'W' || l.find('W', 1) == l.npos) << "glued: " << l;
    }
  }
  EXPECT_EQ(recorded, record ? lost : 0) << "each lost piece recorded once";
}

TEST_F(OwnFile, APieceAfterACutShortOneStartsOnALineOfItsOwn) {
  const std::string a(60, 'a'), b(60, 'b');
  for (const bool record : {false, true}) {
    SCOPED_TRACE(record ? "record on, a size limit" : "record off, a size limit");
    const std::string path = dir.file(record ? "on.log" : "off.log");
    const ChildResult r = run_in_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      CQel_Log log(path.c_str(), kCreate, 0600);
      log.set_lostlines(record);
      log.writelog(2, "first");
      const auto limit = [](off_t bytes) {
        const rlimit l{static_cast<rlim_t>(bytes), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &l);
      };
      const off_t at = lseek(log.get_filehandle(), 0, SEEK_END);
      limit(at + 20);
      log.writelog(2, "%s", a.c_str());
      // Room for the CR LF, the record and 10 bytes of the next line.
      limit(at + 20 + 2 + (record ? 80 : 0) + 10);
      log.writelog(2, "%s", b.c_str());
      limit(RLIM_INFINITY);
      log.writelog(2, "last");
      return log.get_lostcount() == 2 ? 0 : 1;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    // The cut pieces' starts, each ended by the CR LF of the next piece;
    // each loss recorded once.
    std::vector<std::string> lines = body_lines(path);
    const std::string rec = "ERROR write_to_file: 1 lines lost since ";
    for (std::string& l : lines) {
      if (l.compare(0, rec.size(), rec) == 0) l = rec;
      if (l.size() > 1 && l.size() < 60 && (a.compare(0, l.size(), l) == 0 || b.compare(0, l.size(), l) == 0)) {
        l = l.substr(0, 1) + "...";
      }
    }
    const std::vector<std::string> want =
        record ? std::vector<std::string>{"first", "a...", rec, "b...", rec, "last"}
               : std::vector<std::string>{"first", "a...", "b...", "last"};
    lines.resize(std::min(lines.size(), want.size()));
    EXPECT_EQ(lines, want) << read_file(path);
  }
  if (!mount_small_disk()) GTEST_SKIP() << "no tmpfs for a full disk";
  constexpr int kPages = 32;  // freed one by one
  for (const bool record : {false, true}) {
    SCOPED_TRACE(record ? "record on, four writers on a full disk" : "record off, four writers");
    for (int p = 0; p < kPages; ++p) write_file(mnt + "/page" + std::to_string(p), std::string(4096, 'p'));
    write_file(mnt + "/filler", std::string(16 * 1024, 'f'));
    const std::string path = mnt + (record ? "/on.log" : "/off.log");
    auto log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0600);
    log->set_lostlines(record);
    std::atomic<bool> run{true};
    std::vector<std::thread> writers;
    testing::internal::CaptureStderr();
    for (int w = 0; w < 4; ++w) {
      writers.emplace_back([&, w] {
        for (int n = 0; run.load(); ++n) log->writelog(2, "W%d N%d %s", w, n, kPayload);
      });
    }
    // Each time the disk is full, a page is freed while the writers go on.
    for (int p = 0; p < kPages; ++p) {
      const unsigned long lost = log->get_lostcount();
      EXPECT_TRUE(wait_until([&] { return log->get_lostcount() > lost + 10; }, 10000));
      unlink((mnt + "/page" + std::to_string(p)).c_str());
    }
    run = false;
    for (std::thread& t : writers) t.join();
    unlink((mnt + "/filler").c_str());
    const unsigned long lost = log->get_lostcount();
    log.reset();
    testing::internal::GetCapturedStderr();
    expect_nothing_glued(read_file(path), 4, lost, record);
    unlink(path.c_str());
  }
}

}  // namespace
