// Retention: the policy over plain lists, and passes over real directories
// where the log's rotated files sit among files that only look like them.
#include "log/retention.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log_files.h"
#include "log/rotated_files.h"
#include "log/sys_calls.h"
#include "log_test_util.h"

using namespace qellog_test;
using qellog::RetentionLimits;
using qellog::RotatedFile;

namespace {

using Names = std::vector<std::string>;

class Recorder : public qellog::RetentionReport {
 public:
  void removed(const char* name) override { removed_names.push_back(name); }
  void failed(const char* name, int err) override {
    failures.push_back(std::string(name) + " errno " + std::to_string(err));
  }
  Names sorted_removed() const {
    Names out = removed_names;
    std::sort(out.begin(), out.end());
    return out;
  }
  Names removed_names;
  Names failures;
};

RotatedFile entry(const char* name, long long key, time_t stamp, unsigned long long size,
                  bool held = false) {
  return RotatedFile{name, key, stamp, size, held, 0, 0};
}

// The names the policy picks, in the order it returns them.
Names pick(std::vector<RotatedFile> files, const RetentionLimits& limits, time_t now) {
  Names out;
  for (size_t i : qellog::files_to_remove(&files, limits, now)) out.push_back(files[i].name);
  return out;
}

// Shiplag: a file stays until the file after it (stamped when it took
// over the live name) is hold_seconds old; held files still count.
TEST(RetentionPolicy, HoldKeepsFilesWhoseSuccessorIsYoung) {
  const time_t now = 1000000000;
  const std::vector<RotatedFile> files{entry("g4", 4, now - 10, 1), entry("g3", 3, now - 100, 1),
                                       entry("g2", 2, now - 1000, 1),
                                       entry("g1", 1, now - 5000, 1)};
  const struct {
    unsigned long hold;
    Names removed;
  } cases[] = {
      {0, {"g1", "g2", "g3"}}, {50, {"g1", "g2"}}, {500, {"g1"}}, {1000, {"g1"}}, {1001, {}}};
  for (const auto& c : cases) {
    RetentionLimits limits{1, 0, 0};
    limits.hold_seconds = c.hold;
    EXPECT_EQ(pick(files, limits, now), c.removed) << "hold " << c.hold;
  }
}

TEST(RetentionPolicy, CutsAtFirstBrokenLimitKeepingNewestAndHeld) {
  const time_t now = 1000000000;
  const time_t day = 86400;
  // Total: everything past the cut goes, even a small file that would fit.
  EXPECT_EQ(pick({entry("k3", 3, now, 100), entry("k2", 2, now, 900), entry("k1", 1, now, 50)},
                 {0, 600, 0}, now),
            (Names{"k1", "k2"}));
  // Total: a newest file above the limit stays, and counts.
  EXPECT_EQ(pick({entry("k2", 2, now, 5000), entry("k1", 1, now, 10)}, {0, 600, 0}, now),
            (Names{"k1"}));
  // Age: the newest stays however old it is.
  EXPECT_EQ(
      pick({entry("k2", 2, now - 30 * day, 1), entry("k1", 1, now - 31 * day, 1)}, {0, 0, 2}, now),
      (Names{"k1"}));
  // Count, from a list out of order; held files count but are never removed.
  EXPECT_EQ(pick({entry("k4", 4, now, 1), entry("y6", 6, now, 1, true), entry("k3", 3, now, 1),
                  entry("k5", 5, now, 1), entry("y2", 2, now, 1, true)},
                 {2, 0, 0}, now),
            (Names{"k3", "k4"}));
  // A large backlog: the oldest go first, 256 per pass.
  std::vector<RotatedFile> many;
  for (int i = 1; i <= 300; ++i) many.push_back(entry(std::to_string(i).c_str(), i, now, 1));
  const Names backlog = pick(many, {1, 0, 0}, now);
  ASSERT_EQ(backlog.size(), 256u);
  EXPECT_EQ(backlog.front(), "1");
  EXPECT_EQ(backlog.back(), "256");
}

class RetentionDirTest : public ::testing::Test {
 protected:
  RetentionDirTest() { tzset(); }
  ~RetentionDirTest() override { close(dir_fd); }

  std::string start_header(const char* leaf) const {
    return expected_header(Header::kStart, dir.file(leaf), calendar(2024, 3, 1, 10));
  }
  std::string continuation_header() const {
    return expected_header(Header::kContinued, dir.file("app.log"), calendar(2024, 3, 1, 10));
  }
  // Writes `name`, padded to `size` bytes when larger, last modified at `mtime`.
  void plant(const std::string& name, std::string content, time_t mtime, size_t size = 0) {
    if (content.size() < size) content.append(size - content.size(), 'x');
    write_file(dir.file(name), content);
    ASSERT_TRUE(set_mtime(dir.file(name), mtime)) << name;
  }

  TempDir dir;
  ScopedEnv tz{"TZ", "XST-5"};  // local time is UTC + 5 h
  int dir_fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Recorder report;
};

TEST_F(RetentionDirTest, CountRemovesOnlyTheLogsOwnOldestFiles) {
  const time_t now = time(nullptr);
  EXPECT_EQ(qellog::prune_rotated_files(-1, "app.log", {0, 0, 0}, now, report), 0);
  EXPECT_TRUE(report.failures.empty()) << "no limit must not read the directory";

  // Ten of ours, modified in the opposite order of their stamps.
  for (int d = 1; d <= 10; ++d) {
    char name[64];
    std::snprintf(name, sizeof name, "app_2024_03_%02d_10_00_00_000.log", d);
    plant(name, d % 2 ? start_header("app.log") : continuation_header(), now - 120 - d * 60);
  }
  // Modified just now: the newest counts; the oldest goes, since no log
  // holds it open, while one that a log still writes into stays.
  plant("app_2024_03_11_10_00_00_000.log", continuation_header(), now);
  plant("app_2024_01_07_10_00_00_000.log", start_header("app.log"), now);
  plant("app_2024_01_02_10_00_00_000.log", start_header("app.log"), now - 7200);
  const int writer = openat(dir_fd, "app_2024_01_02_10_00_00_000.log", O_WRONLY | O_CLOEXEC);
  qellog::mark_live_file(writer);
  plant("app.log", start_header("app.log"), now - 120);
  // Look-alikes, older than the cut unless said otherwise.
  const time_t old = now - 3600;
  plant("app_b_2024_01_01_10_00_00_000.log", start_header("app_b.log"), old);
  plant("app2_2024_01_01_10_00_00_000.log", start_header("app.log"), old);
  plant("app_2024_01_01_10_00_00_000.log.1", start_header("app.log"), old);
  plant("app_2024_01_01_10_00_00_000.log~", start_header("app.log"), old);
  plant(".app_2024_01_01_10_00_00_000.log", start_header("app.log"), old);
  // Newer than all: counted, it would take a place of the three.
  ASSERT_EQ(symlinkat("app_2024_03_01_10_00_00_000.log", dir_fd, "app_2024_03_12_10_00_00_000.log"),
            0);
  ASSERT_TRUE(set_mtime(dir.file("app_2024_03_12_10_00_00_000.log"), old));
  plant("app_2024_01_03_10_00_00_000.log", "another program's data\r\n", old);
  plant("app_2024_01_04_10_00_00_000.log", start_header("app.log"), old);
  ASSERT_EQ(fchownat(dir_fd, "app_2024_01_04_10_00_00_000.log", 65534, 65534, 0), 0);
  ASSERT_EQ(mkdirat(dir_fd, "app_2024_01_05_10_00_00_000.log", 0755), 0);
  ASSERT_EQ(linkat(dir_fd, "app.log", dir_fd, "app_2024_01_06_10_00_00_000.log", 0), 0);
  ASSERT_EQ(mkfifoat(dir_fd, "app_2024_01_08_10_00_00_000.log", 0644), 0);

  EXPECT_EQ(qellog::prune_rotated_files(dir_fd, "app.log", {3, 0, 0}, now, report), 9);
  close(writer);
  EXPECT_EQ(report.sorted_removed(),
            (Names{"app_2024_01_07_10_00_00_000.log", "app_2024_03_01_10_00_00_000.log",
                   "app_2024_03_02_10_00_00_000.log", "app_2024_03_03_10_00_00_000.log",
                   "app_2024_03_04_10_00_00_000.log", "app_2024_03_05_10_00_00_000.log",
                   "app_2024_03_06_10_00_00_000.log", "app_2024_03_07_10_00_00_000.log",
                   "app_2024_03_08_10_00_00_000.log"}));
  EXPECT_EQ(report.failures, Names{});
  EXPECT_EQ(list_dir(dir.path()),
            (Names{".app_2024_01_01_10_00_00_000.log", "app.log",
                   "app2_2024_01_01_10_00_00_000.log", "app_2024_01_01_10_00_00_000.log.1",
                   "app_2024_01_01_10_00_00_000.log~", "app_2024_01_02_10_00_00_000.log",
                   "app_2024_01_03_10_00_00_000.log", "app_2024_01_04_10_00_00_000.log",
                   "app_2024_01_05_10_00_00_000.log", "app_2024_01_06_10_00_00_000.log",
                   "app_2024_01_08_10_00_00_000.log", "app_2024_03_09_10_00_00_000.log",
                   "app_2024_03_10_10_00_00_000.log", "app_2024_03_11_10_00_00_000.log",
                   "app_2024_03_12_10_00_00_000.log", "app_b_2024_01_01_10_00_00_000.log"}));
}

TEST_F(RetentionDirTest, TotalSizeThenAgeOnTheSameDescriptor) {
  const time_t now = 1710054000;  // 10.03.2024 12:00:00 local
  const time_t old = now - 120;
  plant("app_2024_03_10_11_00_00_000.log", start_header("app.log"), old, 1000);
  plant("app_2024_03_09_12_00_00_000.log", continuation_header(), old, 1000);
  plant("app_2024_03_08_12_00_00_000.log", continuation_header(), old, 1000);
  plant("app_2024_03_08_11_59_59_999.log", continuation_header(), old, 1000);
  // Two days old only if the stamp were read as UTC.
  plant("app_2024_03_08_09_00_00_000.log", start_header("app.log"), old, 1000);
  plant("app_2024_03_01_12_00_00_000.log", continuation_header(), old, 1000);
  // Not ours, and large: counting it would break the total at once.
  plant("app_2024_03_10_11_30_00_000.log", "not a log\r\n", old, 100000);

  EXPECT_EQ(qellog::prune_rotated_files(dir_fd, "app.log", {0, 5000, 0}, now, report), 1);
  EXPECT_EQ(report.sorted_removed(), (Names{"app_2024_03_01_12_00_00_000.log"}));

  report.removed_names.clear();
  EXPECT_EQ(qellog::prune_rotated_files(dir_fd, "app.log", {0, 0, 2}, now, report), 2);
  EXPECT_EQ(report.sorted_removed(),
            (Names{"app_2024_03_08_09_00_00_000.log", "app_2024_03_08_11_59_59_999.log"}));
  EXPECT_EQ(report.failures, Names{});
  EXPECT_EQ(list_dir(dir.path()),
            (Names{"app_2024_03_08_12_00_00_000.log", "app_2024_03_09_12_00_00_000.log",
                   "app_2024_03_10_11_00_00_000.log", "app_2024_03_10_11_30_00_000.log"}));
}

// Another process still writing into one of the chosen files: the first
// unlink makes the other grow before the pass comes to it.
std::string g_growing_dir;
void grow_the_other(int, const char* name) {
  const std::string first = "app_2024_03_01_12_00_00_000.log";
  const std::string other = name == first ? "app_2024_03_02_12_00_00_000.log" : first;
  write_file(g_growing_dir + "/" + other, read_file(g_growing_dir + "/" + other) + "late\r\n");
}

TEST_F(RetentionDirTest, AChosenFileThatGrewIsLeftForALaterPass) {
  const time_t now = 1710054000;  // 10.03.2024 12:00:00 local
  plant("app_2024_03_01_12_00_00_000.log", continuation_header(), now - 120);
  plant("app_2024_03_02_12_00_00_000.log", continuation_header(), now - 120);
  plant("app_2024_03_03_12_00_00_000.log", continuation_header(), now - 120);  // the newest stays
  g_growing_dir = dir.path();
  ScopedSeam<void (*)(int, const char*)> writer(qellog::sys.before_unlink, grow_the_other);
  EXPECT_EQ(qellog::prune_rotated_files(dir_fd, "app.log", {0, 0, 2}, now, report), 1);
  EXPECT_EQ(report.sorted_removed(), (Names{"app_2024_03_01_12_00_00_000.log"}));
  EXPECT_EQ(list_dir(dir.path()),
            (Names{"app_2024_03_02_12_00_00_000.log", "app_2024_03_03_12_00_00_000.log"}));
}

// A file system without locks, as far as the pass can tell.
int no_locks(int, int) {
  errno = ENOLCK;
  return -1;
}

TEST_F(RetentionDirTest, AFileGoesOnceNoLogWritesIntoItWhateverItsAge) {
  const time_t now = time(nullptr);
  const std::string oldest = "app_2024_03_01_10_00_00_000.log";
  const struct {
    const char* label;
    time_t age;    // since its last change
    bool written;  // a log still holds it as its live file
    bool locks;    // whether the pass can tell
    bool removed;
  } cases[] = {
      {"closed, changed just now", 0, false, true, true},
      {"still written, a day old", 86400, true, true, false},
      {"no locks, changed just now", 0, false, false, false},
      {"no locks, two minutes old", 120, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    plant(oldest, continuation_header(), now - c.age);
    plant("app_2024_03_02_10_00_00_000.log", continuation_header(), now - 3600);
    const int writer = c.written ? openat(dir_fd, oldest.c_str(), O_WRONLY | O_CLOEXEC) : -1;
    if (c.written) qellog::mark_live_file(writer);
    {
      ScopedSeam<int (*)(int, int)> locks(qellog::sys.flock,
                                          c.locks ? qellog::sys.flock : no_locks);
      EXPECT_EQ(qellog::prune_rotated_files(dir_fd, "app.log", {1, 0, 0}, now, report),
                c.removed ? 1 : 0);
    }
    EXPECT_EQ(file_exists(dir.file(oldest)), !c.removed);
    if (writer >= 0) close(writer);
    for (const std::string& n : list_dir(dir.path())) unlink(dir.file(n).c_str());
  }
}

// Another user fills the directory with look-alikes (FIFOs of the test's
// own user where it cannot give files away): each pass looks at a bounded
// number of names, the first sweep takes several passes, the next looks
// at none it met before, and the log's own files are still pruned exactly.
TEST_F(RetentionDirTest, ACrowdedDirectoryCostsEachPassABoundedAmount) {
  const time_t now = 1710054000;  // 10.03.2024 12:00:00 local
  constexpr int kPlanted = 10000;
  const auto planted_name = [](int i) {
    char name[64];
    std::snprintf(name, sizeof name, "app_2024_02_01_%02d_%02d_%02d_%03d.log", i / 3600000,
                  i / 60000 % 60, i / 1000 % 60, i % 1000);
    return std::string(name);
  };
  for (int i = 0; i < kPlanted; ++i) {
    const std::string name = planted_name(i * 7);
    if (geteuid() != 0) {
      ASSERT_EQ(mkfifoat(dir_fd, name.c_str(), 0644), 0);
      continue;
    }
    const int fd = openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_TRUE(fd >= 0 && fchown(fd, 65534, 65534) == 0) << name;
    close(fd);
  }
  for (int d = 1; d <= 6; ++d) {
    plant("app_2024_03_0" + std::to_string(d) + "_12_00_00_000.log", continuation_header(),
          now - 3600);
  }
  qellog::RetentionMemory memory;
  const auto sweep = [&](std::vector<size_t>* looks) {
    int removed = 0;
    do {
      removed += qellog::prune_rotated_files(dir_fd, "app.log", {3, 0, 0}, now, report, &memory);
      looks->push_back(memory.last_pass.looks);
    } while (!memory.last_pass.swept && looks->size() < 20);
    return removed;
  };
  std::vector<size_t> looks;
  EXPECT_EQ(sweep(&looks), 3);
  EXPECT_EQ(looks, (std::vector<size_t>{2048, 2048, 2048, 2048, 1814}));
  // One look-alike becomes a file of the log's: looked at again, and gone
  // as the oldest.
  plant("new", continuation_header(), now - 3600);
  ASSERT_EQ(renameat(dir_fd, "new", dir_fd, planted_name(700).c_str()), 0);
  looks.clear();
  EXPECT_EQ(sweep(&looks), 1);
  EXPECT_EQ(looks.size(), 2u) << "10,005 entries, 8,192 a pass";
  EXPECT_EQ(looks[0] + looks[1], 1u);
  std::vector<std::string> own;
  for (const RotatedFile& f : qellog::rotated_files_of(dir_fd, "app.log", geteuid(), now)) {
    own.push_back(f.name);
  }
  EXPECT_EQ(own, (Names{"app_2024_03_04_12_00_00_000.log", "app_2024_03_05_12_00_00_000.log",
                        "app_2024_03_06_12_00_00_000.log"}));
}

}  // namespace
