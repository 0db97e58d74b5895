// The generations layout: each file named at its birth and never renamed,
// the live name a link to the current one, across rotations and restarts.
#include "log/generations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "log_test_util.h"

using namespace qellog_test;

namespace {

struct stat stat_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

std::string stamped(const timeval& t) {
  char name[qellog::kRotatedNameCapacity];
  qellog::format_rotated_name(name, sizeof name, "app", local_tm(t), t.tv_usec / 1000, ".log");
  return name;
}

// The lines of `path` the test wrote (they begin with '#'), joined by blanks.
std::string own_lines(const std::string& path) {
  std::string out;
  for (const std::string& l : split_crlf(read_file(path))) {
    if (!l.empty() && l[0] == '#') out += (out.empty() ? "" : " ") + l;
  }
  return out;
}

class Generations : public LogTest {
 protected:
  void open_generations() {
    log = open_log(path);
    log->set_generations(true);
  }
  // The rotated name that links the live file, "" when none does.
  std::string current() const {
    for (const std::string& g : rotated()) {
      if (stat_of(dir.file(g)).st_ino == stat_of(path).st_ino) return g;
    }
    return "";
  }
};

TEST_F(Generations, EachFileIsNamedAtBirthAndKeepsItsNameAndLines) {
  open_generations();
  ASSERT_EQ(rotated().size(), 1u);
  EXPECT_EQ(current(), rotated()[0]);
  EXPECT_EQ(stat_of(path).st_nlink, 2u);
  std::vector<ino_t> born{stat_of(path).st_ino};
  for (int round = 0; round < 4; ++round) {
    log->writelog(2, "#%d-a", round);
    log->writelog(2, "#%d-b", round);
    timeval before, after;
    gettimeofday(&before, nullptr);
    log->create_next_file();
    gettimeofday(&after, nullptr);
    const std::vector<std::string> names = rotated();
    ASSERT_EQ(names.size(), born.size() + 1);
    EXPECT_EQ(current(), names.back()) << "the live name links the newest file";
    EXPECT_TRUE(stamped(before) <= names.back() && names.back() <= stamped(after)) << names.back();
    for (size_t i = 0; i < born.size(); ++i) {
      EXPECT_EQ(stat_of(dir.file(names[i])).st_ino, born[i]) << names[i] << " was moved";
      EXPECT_EQ(own_lines(dir.file(names[i])),
                "#" + std::to_string(i) + "-a #" + std::to_string(i) + "-b");
    }
    born.push_back(stat_of(path).st_ino);
  }
  EXPECT_EQ(list_dir(dir.path()).size(), born.size() + 1) << "a temporary name was left";
}

// A new run goes on in the current file under the name it was born with;
// a second link that is not one of the log's names does not count.
TEST_F(Generations, ARestartGoesOnInTheCurrentFile) {
  open_generations();
  log->create_next_file();
  log->writelog(2, "#before");
  log.reset();
  const std::vector<std::string> before = rotated();
  ASSERT_EQ(before.size(), 2u);
  open_generations();
  log->writelog(2, "#after");
  EXPECT_EQ(rotated(), before) << "no new name for the same file";
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 3u);
  EXPECT_EQ(own_lines(dir.file(before[1])), "#before #after");

  const std::string other = dir.file("other.log");
  write_file(other, "Logfile: " + other + "\r\n");
  ASSERT_EQ(link(other.c_str(), dir.file("backup.log").c_str()), 0);
  std::unique_ptr<CQel_Log> linked = open_log(other);
  linked->set_generations(true);
  ASSERT_EQ(rotated_files(dir.path(), "other").size(), 1u);
  EXPECT_EQ(stat_of(dir.file(rotated_files(dir.path(), "other")[0])).st_ino, stat_of(other).st_ino);
  EXPECT_EQ(stat_of(other).st_nlink, 3u);
}

// A leftover under the temporary name goes only when it is a second link
// of a file of the log's. Turned off, the current file keeps its name and
// the next file is born under the live name alone.
TEST_F(Generations, LeftOversOfAnUnfinishedRotationAndSwitchingOff) {
  open_generations();
  log->set_logbits(0x100003);
  const std::string link_name = dir.file(".app.log.link");
  ASSERT_EQ(link(dir.file(rotated()[0]).c_str(), link_name.c_str()), 0);
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 2u) << "the leftover second link was cleared";
  write_file(link_name, "a file of its own\r\n");
  log->create_next_file();
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 2u) << "a lone file there stops the rotation";
  EXPECT_EQ(read_file(link_name), "a file of its own\r\n");
  EXPECT_EQ(count("create_next_file: .app.log.link is not the log's own file, left as it is"), 1u);
  ASSERT_EQ(unlink(link_name.c_str()), 0);

  log->set_generations(false);
  const std::string last = current();
  log->writelog(2, "#two");
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 2u) << "no name for the file born after the switch";
  EXPECT_EQ(stat_of(path).st_nlink, 1u);
  EXPECT_EQ(own_lines(dir.file(last)), "#two");
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 3u) << "the usual rotation again";
}

// Shiplag holds every rotated file whatever the count; without it the
// count holds, and the current file is never among those removed.
TEST_F(Generations, RetentionWaitsForShiplag) {
  open_generations();
  log->set_maxfilesize(300);
  log->set_flushcount(1);
  log->set_maxfilecount(1);
  log->set_shiplag(3600);
  ASSERT_EQ(log->start_flush_thread(), 0);
  const auto write_until = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      log->writelog(2, "#%d", i);
      usleep(1000);
    }
    return done();
  };
  ASSERT_TRUE(write_until([&] { return rotated().size() >= 5; })) << "files removed while held";
  log->set_shiplag(0);
  EXPECT_TRUE(write_until([&] { return rotated().size() == 2; }));
  log.reset();
  EXPECT_FALSE(current().empty()) << "the current file is still there";
}

TEST(RotatedNameGlob, SplitsAsTheLogsNamesAre) {
  const char* const cases[][2] = {
      {"/var/log/app/app.log", "/var/log/app/app_*.log"},
      {"d.d/a.b.log", "d.d/a.b_*.log"},
      {"/tmp/app", "/tmp/app_*"},
      {"/tmp/a.averylongtail", "/tmp/a.averylongtail_*"},
      {"/tmp/.log", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(qellog::rotated_name_glob(c[0]), c[1]) << c[0];
}

}  // namespace
