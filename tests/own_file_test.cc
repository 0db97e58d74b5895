// The log's names hold only its own regular file: a live name that is not a
// regular file is never rotated, nothing another user plants hangs the host
// or receives its lines, retention is exact for the log's own files, sane
// with a wrong clock and bounded in cost, time rotation keeps up under load
// and across restarts, and a piece never glues onto a cut-short one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log/file_format.h"
#include "log/reopen.h"
#include "log/retention.h"
#include "log/rotation.h"
#include "log/sys_calls.h"
#include "log/upkeep.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

constexpr uid_t kNobody = 65534;
constexpr char kPayload[] = "a numbered line long enough to cross a page of the disk now and then";

std::string all_text(const std::string& dir) {
  std::string out;
  for (const std::string& n : list_dir(dir)) out += read_file(dir + "/" + n);
  return out;
}

// "app_YYYY_MM_DD_hh_mm_ss_000.log" for `t` (TZ is UTC).
std::string stamped(time_t t) {
  char buf[64];
  strftime(buf, sizeof buf, "app_%Y_%m_%d_%H_%M_%S_000.log", gmtime(&t));
  return buf;
}

// Takes the live name during a rotation: a 0666 file of user nobody's.
std::string g_planted;
void plant_theirs(int, const char*) {
  const int fd = open(g_planted.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 || fchown(fd, kNobody, kNobody) != 0 || fchmod(fd, 0666) != 0) std::abort();
  close(fd);
}

std::atomic<time_t> g_now{0};
time_t test_clock() { return g_now.load(); }

struct Removed : qellog::RetentionReport {
  void removed(const char* name) override { names.push_back(name); }
  void failed(const char*, int) override {}
  std::vector<std::string> names;
};

class OwnFile : public LogTest {
 protected:
  // The log and its flush thread end before the clock is put back.
  ~OwnFile() override { log.reset(); }
  void SetUp() override { ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); }
  void TearDown() override {
    if (mounted) umount2(mnt.c_str(), MNT_DETACH);
  }
  std::string subdir(const char* name, mode_t mode = 0755) {
    const std::string d = dir.file(name);
    EXPECT_EQ(mkdir(d.c_str(), 0755), 0);
    chmod(d.c_str(), mode);
    return d;
  }
  std::unique_ptr<CQel_Log> open_own(const std::string& at) {
    return open_log(at, LOGBIT_INTERNAL | 3, 0600);
  }
  // Removes what the count limit `count` removes from `d` in one pass.
  static std::vector<std::string> prune(const std::string& d, unsigned long count,
                                        qellog::RetentionMemory* memory = nullptr) {
    const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Removed report;
    qellog::prune_rotated_files(fd, "app.log", {count, 0, 0}, time(nullptr), report, memory);
    close(fd);
    std::sort(report.names.begin(), report.names.end());
    return report.names;
  }

  std::string mnt = dir.file("mnt");
  bool mounted = false;
  std::optional<ScopedSeam<time_t (*)()>> wall_clock;
};

TEST_F(OwnFile, LiveNameThatIsNotARegularFileIsNeverMoved) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
  // /dev/stdout as a container has it: a symlink to /proc/self/fd/N.
  ASSERT_EQ(
      symlink(("/proc/self/fd/" + std::to_string(pipe_fds[1])).c_str(), dir.file("stdout").c_str()),
      0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const int fifo = open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  for (const int fd : {fifo, pipe_fds[0]}) fcntl(fd, F_SETPIPE_SZ, 1 << 20);  // read afterwards
  write_file(dir.file("target.log"), "");
  ASSERT_EQ(symlink("target.log", dir.file("link.log").c_str()), 0);  // the user's own
  const std::vector<std::string> names = list_dir(dir.path());
  const struct {
    const char* name;
    mode_t type;
    int reader;  // -1: the lines are in target.log
  } cases[] = {
      {"stdout", S_IFLNK, pipe_fds[0]}, {"fifo", S_IFIFO, fifo}, {"link.log", S_IFLNK, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string live = dir.file(c.name);
    log = open_own(live);
    log->set_maxfilesize(1);  // every request would rotate
    log->set_flushcount(20);
    log->set_reopen(true);
    ASSERT_EQ(log->start_flush_thread(), 0);
    for (int i = 0; i < 500; ++i) log->writelog(2, "line %03d", i);
    log->create_next_file();
    log.reset();
    struct stat st;
    EXPECT_EQ(list_dir(dir.path()), names);
    EXPECT_TRUE(lstat(live.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == c.type);
    const std::string got = c.reader < 0 ? read_file(dir.file("target.log")) : read_fd(c.reader);
    EXPECT_EQ(
        count_of(got, "create_next_file: " + live + " is not a regular file, rotation is off\r\n"),
        1u);
    EXPECT_EQ(count_of(got, "\r\nline "), 500u);
  }
  for (const int fd : {fifo, pipe_fds[0], pipe_fds[1]}) close(fd);
}

TEST_F(OwnFile, NothingAnotherUserPlantsHangsTheHostOrReceivesItsLines) {
  if (geteuid() != 0) GTEST_SKIP() << "planting files of another user needs root";
  const std::string d = subdir("shared", 01777);
  ASSERT_EQ(mkfifo((d + "/fifo.log").c_str(), 0666), 0);
  const ChildResult r = run_in_child([&] {
    alarm(10);  // a blocking open ends the child with SIGALRM
    return CQel_Log((d + "/fifo.log").c_str(), kCreate, 0600).hflog == -1 ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0) << "the open of a FIFO without a reader";
  unlink((d + "/fifo.log").c_str());

  // Their file takes the name while a rotation has moved the log's away;
  // neither that rotation, a later one nor reopening gives it a line. The
  // later rotation, with the name still taken, starts a file under a
  // rotated name of its own.
  const std::string theirs = d + "/app.log";
  log = open_own(theirs);
  log->set_reopen(true);
  g_planted = theirs;
  {
    ScopedSeam<void (*)(int, const char*)> planting(qellog::sys.after_move_aside, plant_theirs);
    log->create_next_file();
  }
  log->create_next_file();
  qellog::check_reopen(*log);
  log->writelog(2, "secret");
  EXPECT_EQ(read_file(theirs), "");
  EXPECT_EQ(rotated_files(d, "app").size(), 2u);
  const std::string text = all_text(d);
  EXPECT_EQ(count_of(text, "open " + theirs + " failed 1, writing on to the rotated file\r\n"), 1u);
  EXPECT_EQ(count_of(text, "not the log's own file"), 0u) << "once per file and cause";
  EXPECT_EQ(count_of(text, "secret\r\n"), 1u);

  // The tail-safe order's hidden name: theirs fresh, theirs forged two hours
  // old, the user's own with the log's header two hours old.
  const std::string ts = d + "/ts.log";
  const std::string hidden = d + "/.ts.log.next";
  log = open_own(ts);
  log->set_tailsafe(true);
  const struct {
    uid_t owner;
    time_t age;
    bool kept;
  } left_overs[] = {{kNobody, 0, false}, {kNobody, 7200, false}, {0, 7200, true}};
  for (const auto& l : left_overs) {
    write_file(hidden,
               expected_header(Header::kContinued, ts, calendar(2020, 1, 1)) + "forged line\r\n");
    ASSERT_EQ(chown(hidden.c_str(), l.owner, l.owner), 0);
    ASSERT_TRUE(set_mtime(hidden, time(nullptr) - l.age));
    const size_t before = rotated_files(d, "ts").size();
    log->create_next_file();
    EXPECT_EQ(rotated_files(d, "ts").size(), before + (l.kept ? 2 : 1))
        << "held up, or kept when foreign";
    EXPECT_EQ(file_exists(hidden), !l.kept);
    unlink(hidden.c_str());
  }
  EXPECT_EQ(count_of(all_text(d), "forged line"), 1u);
  EXPECT_EQ(count_of(all_text(d),
                     "create_next_file: .ts.log.next is not the log's own file, "
                     "rotating in the usual order\r\n"),
            2u);
}

TEST_F(OwnFile, RetentionIsExactForItsOwnFilesSaneWithAWrongClockAndBounded) {
  // Rotations a few a second; a second log on the same file writes on into
  // the first file rotated, which therefore stays.
  const std::string d = subdir("own");
  log = open_own(d + "/app.log");
  auto other = open_own(d + "/app.log");
  log->set_maxfilecount(2);
  for (size_t i = 1; i <= 6; ++i) {
    log->create_next_file();
    qellog::after_rotation(*log);
    EXPECT_EQ(rotated_files(d, "app").size(), std::min<size_t>(i, 3));
  }
  other->writelog(2, "other's late line");
  EXPECT_EQ(count_of(all_text(d), "other's late line\r\n"), 1u);

  const time_t now = time(nullptr);
  const auto plant = [](const std::string& in, time_t stamp, const char* leaf, time_t mtime) {
    write_file(in + "/" + stamped(stamp),
               expected_header(Header::kStart, in + "/" + leaf, calendar(2020, 1, 1)));
    EXPECT_TRUE(set_mtime(in + "/" + stamped(stamp), mtime));
  };
  // Three files stamped a year ahead, three real ones 10-12 minutes old.
  const std::string clock = subdir("clock");
  std::vector<std::string> future;
  for (int i = 0; i < 3; ++i) {
    plant(clock, now + 365 * 86400 + i, "app.log", now - 600);
    plant(clock, now - 600 - 60 * i, "app.log", now - 600);
    future.push_back(stamped(now + 365 * 86400 + i));
  }
  EXPECT_EQ(prune(clock, 3), future);
  // 1500 look-alikes newer than 500 of the log's own: 1024 heads a pass.
  const std::string backlog = subdir("backlog");
  for (int i = 0; i < 2000; ++i)
    plant(backlog, now - 86400 + i, i < 500 ? "app.log" : "b.log", now - 3600);
  qellog::RetentionMemory memory;
  std::vector<size_t> removed;
  for (int pass = 0; pass < 4; ++pass) removed.push_back(prune(backlog, 3, &memory).size());
  EXPECT_EQ(removed, (std::vector<size_t>{0, 256, 241, 0}));
}

TEST_F(OwnFile, TimeRotationUnderLoadAndAcrossRestarts) {
  wall_clock.emplace(qellog::sys.wall_clock, test_clock);
  g_now = 1796812200;  // 10:30:00: the file begins
  log = open_own(dir.file("busy.log"));
  log->set_rotatetime(ROTATETIME_HOURLY);
  log->set_flushcount(2);
  ASSERT_EQ(log->start_flush_thread(), 0);
  std::atomic<bool> run{true};
  std::thread writer([&] {
    for (; run.load(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
      log->writelog(2, "busy");
  });
  g_now = 1796814000;  // 11:00:00, while a request comes every 15 ms
  EXPECT_TRUE(wait_until([&] { return rotated_files(dir.path(), "busy").size() == 1; }, 10000));
  run = false;
  writer.join();

  // A restart an hour after the file began rotates at once.
  const std::string restart = dir.file("restart.log");
  open_own(restart)->writelog(2, "first run");
  g_now = time(nullptr) + 3600;
  log = open_own(restart);
  log->set_rotatetime(ROTATETIME_HOURLY);
  ASSERT_EQ(log->start_flush_thread(), 0);
  log->writelog(2, "second run");
  EXPECT_TRUE(wait_until(
      [&] {
        log->flushlog();
        return rotated_files(dir.path(), "restart").size() == 1;
      },
      10000));
  // Where the file system records no birth time, the first header tells.
  const std::string head = "Logfile: /x/a.log\r\nLogging started at 05.03.2024 14:07:09 \r\n";
  struct tm cal;
  ASSERT_TRUE(qellog::header_time(head.data(), head.size(), &cal));
  EXPECT_EQ(timegm(&cal), 1709647629);
  EXPECT_FALSE(qellog::header_time(head.data() + 9, head.size() - 9, &cal));
}

// Each line of `text` is whole, the start of one numbered line (cut, maybe
// between its CR and LF) or not a numbered line; the whole records' counts
// add up to `lost`.
void expect_nothing_glued(const std::string& text, unsigned long lost) {
  unsigned long recorded = 0;
  for (const std::string& l : split_crlf(text)) {
    int w = -1, n = -1;
    unsigned long count = 0;
    if (std::sscanf(l.c_str(), "ERROR write_to_file: %lu lines lost", &count) == 1) {
      recorded += l.find(", last error ") != l.npos ? count : 0;
    } else if (std::sscanf(l.c_str(), "W%d N%d ", &w, &n) == 2) {
      const std::string piece =
          "W" + std::to_string(w) + " N" + std::to_string(n) + " " + kPayload + "\r\n";
      EXPECT_EQ(piece.compare(0, l.size(), l), 0) << "glued: " << l;
    } else {
      for (size_t at = l.find('W', 1); at != l.npos; at = l.find('W', at + 1)) {
        EXPECT_NE(std::sscanf(l.c_str() + at, "W%d N%d ", &w, &n), 2) << "glued: " << l;
      }
    }
  }
  EXPECT_EQ(recorded, lost) << "each lost piece recorded once";
}

TEST_F(OwnFile, APieceAfterACutShortOneStartsOnALineOfItsOwn) {
  const std::string a(60, 'a'), b(60, 'b');
  for (const bool record : {false, true}) {
    SCOPED_TRACE(record ? "a size limit, record on" : "a size limit, record off");
    const std::string cut = dir.file(record ? "on.log" : "off.log");
    const ChildResult r = run_in_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      log = open_log(cut, 3, 0600);
      log->set_lostlines(record);
      log->writelog(2, "first");
      const off_t at = lseek(log->get_filehandle(), 0, SEEK_END);
      // 20 bytes of one line, then CR LF, the record and 10 bytes of the next.
      for (const int room : {20, 20 + 2 + (record ? 80 : 0) + 10}) {
        const rlimit limit{static_cast<rlim_t>(at + room), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        log->writelog(2, "%s", (room == 20 ? a : b).c_str());
      }
      const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
      setrlimit(RLIMIT_FSIZE, &none);
      log->writelog(2, "last");
      const bool two = log->get_lostcount() == 2;
      log.reset();
      return two ? 0 : 1;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    std::string kinds;
    for (const std::string& l : body_lines(cut)) {
      kinds += l.compare(0, 20, "ERROR write_to_file:") == 0 ? "R" : l.substr(0, 1);
    }
    EXPECT_EQ(kinds.substr(0, record ? 6 : 4), record ? "faRbRl" : "fabl") << read_file(cut);
    expect_nothing_glued(read_file(cut), record ? 2 : 0);
  }
  // Four writers on a disk that fills and gets a page back, 32 times.
  mkdir(mnt.c_str(), 0755);
  mounted = mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=160k") == 0;
  if (!mounted) GTEST_SKIP() << "no tmpfs for a full disk";
  for (const bool record : {false, true}) {
    SCOPED_TRACE(record ? "four writers, record on" : "four writers, record off");
    for (int p = 0; p < 32; ++p)
      write_file(mnt + "/page" + std::to_string(p), std::string(4096, 'p'));
    write_file(mnt + "/filler", std::string(16 * 1024, 'f'));
    log = open_log(mnt + "/app.log", 3, 0600);
    log->set_lostlines(record);
    std::atomic<bool> run{true};
    std::vector<std::thread> writers;
    testing::internal::CaptureStderr();
    for (int w = 0; w < 4; ++w) {
      writers.emplace_back([&, w] {
        for (int n = 0; run.load(); ++n) log->writelog(2, "W%d N%d %s", w, n, kPayload);
      });
    }
    for (int p = 0; p < 32; ++p) {
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
    expect_nothing_glued(read_file(mnt + "/app.log"), record ? lost : 0);
    unlink((mnt + "/app.log").c_str());
  }
}

// Holds pieces at steps of the append protocol: gate i stops the first
// piece whose bytes hold its tag at its step until released.
struct Gate {
  const char* tag;
  qellog::AppendStep step;
  bool arrived = false;
  bool released = false;
};
std::mutex g_gate_mutex;
std::condition_variable g_gate_cond;
std::vector<Gate> g_gates;

void at_step(qellog::AppendStep step, const char* data, size_t len) {
  std::unique_lock<std::mutex> lock(g_gate_mutex);
  for (Gate& g : g_gates) {
    if (!g.arrived && g.step == step && std::string(data, len).find(g.tag) != std::string::npos) {
      g.arrived = true;
      g_gate_cond.notify_all();
      g_gate_cond.wait(lock, [&] { return g.released; });
      return;
    }
  }
}

// Waits until gate i holds its piece (ends the process after 10 s), or
// releases it.
void held(size_t i) {
  std::unique_lock<std::mutex> lock(g_gate_mutex);
  if (!g_gate_cond.wait_for(lock, std::chrono::seconds(10), [&] { return g_gates[i].arrived; })) {
    std::abort();
  }
}
void release(size_t i) {
  std::lock_guard<std::mutex> lock(g_gate_mutex);
  g_gates[i].released = true;
  g_gate_cond.notify_all();
}

// The orders of the protocol's steps around a piece that a size limit cuts
// short, forced through the step seam: a plain piece P held between its
// reservation and its look while F is cut; a careful piece B that writes
// once the careful state has ended (A ended it), then waits to settle while
// a plain piece F is cut short after it, in the careful second or past it.
// The piece after F starts on a line of its own.
TEST_F(OwnFile, EveryOrderOfStepsAroundACutPieceKeepsTheNextOnALineOfItsOwn) {
  using qellog::AppendStep;
  wall_clock.emplace(qellog::sys.wall_clock, test_clock);
  ScopedSeam<void (*)(AppendStep, const char*, size_t)> steps(qellog::sys.append_step, at_step);
  const struct {
    bool careful;
    time_t clock_moves;
    bool record;
    const char* kinds;
  } cases[] = {{false, 0, false, "fFPl"},
               {false, 0, true, "fFRPl"},
               {true, 0, false, "fcABFCl"},
               {true, 2, false, "fcABFCl"},
               {true, 2, true, "fcRABFRCl"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kinds);
    const std::string file = dir.file("steps" + std::to_string(&c - cases) + ".log");
    const ChildResult r = run_in_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      g_now = time(nullptr);
      log = open_log(file, 3, 0600);
      log->set_lostlines(c.record);
      log->writelog(2, "first");
      const auto cut = [&](const char* text) {  // 20 bytes of room for 60
        const off_t at = lseek(log->get_filehandle(), 0, SEEK_END);
        const rlimit room{static_cast<rlim_t>(at + 20), RLIM_INFINITY},
            none{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &room);
        log->writelog(2, "%s%s", text, std::string(60, 'x').c_str());
        setrlimit(RLIMIT_FSIZE, &none);
      };
      std::vector<std::thread> threads;
      if (!c.careful) {
        g_gates = {{"Pline", AppendStep::kReserved}};
        threads.emplace_back([&] { log->writelog(2, "Pline"); });
        held(0);
        cut("Fcut");
        release(0);
      } else {
        cut("cut");  // careful for a second
        g_now += 2;
        g_gates = {{"Aline", AppendStep::kCarefulTurn},
                   {"Bline", AppendStep::kReserved},
                   {"Bline", AppendStep::kCarefulWritten}};
        threads.emplace_back([&] { log->writelog(2, "Aline"); });
        held(0);
        threads.emplace_back([&] { log->writelog(2, "Bline"); });
        held(1);     // reserved careful, behind A
        release(0);  // A lands and ends the careful state
        release(1);
        held(2);  // B wrote in a plain time
        cut("Fcut");
        g_now += c.clock_moves;
        release(2);
      }
      for (std::thread& t : threads) t.join();
      if (c.careful) log->writelog(2, "Cline");
      log->writelog(2, "last");
      g_gates.clear();
      log.reset();
      return 0;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    std::string kinds;
    for (const std::string& l : body_lines(file)) {
      kinds += l.compare(0, 20, "ERROR write_to_file:") == 0 ? "R" : l.substr(0, 1);
    }
    EXPECT_EQ(kinds.substr(0, std::strlen(c.kinds)), c.kinds) << read_file(file);
    expect_nothing_glued(read_file(file), count_of(c.kinds, "R"));  // one line each
  }
}

}  // namespace
