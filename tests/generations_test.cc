// The generations layout: each file named at its birth and never renamed,
// the live name a link to the current one, across rotations and restarts.
#include "log/generations.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <map>

#include "log_test_util.h"

using namespace qellog_test;

namespace {

ino_t inode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

nlink_t links(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

std::string stamped(const timeval& t) {
  char name[qellog::kRotatedNameCapacity];
  qellog::format_rotated_name(name, sizeof name, "app", local_tm(t), t.tv_usec / 1000, ".log");
  return name;
}

// The lines of `path` that the test wrote ("#..."), in file order.
std::vector<std::string> own_lines(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& l : split_crlf(read_file(path))) {
    if (!l.empty() && l[0] == '#') out.push_back(l);
  }
  return out;
}

class Generations : public LogTest {
 protected:
  std::unique_ptr<CQel_Log> open_generations() {
    std::unique_ptr<CQel_Log> made = open_log(path);
    made->set_generations(true);
    return made;
  }
  // The rotated name that links the live file, "" when none does.
  std::string current() const {
    for (const std::string& g : rotated()) {
      if (inode(dir.file(g)) == inode(path)) return g;
    }
    return "";
  }
};

TEST_F(Generations, EachFileIsNamedAtBirthAndKeepsItsNameAndLines) {
  log = open_generations();
  ASSERT_EQ(rotated().size(), 1u);
  EXPECT_EQ(current(), rotated()[0]);
  EXPECT_EQ(links(path), 2u);
  EXPECT_EQ(log->get_generations(), true);
  std::map<std::string, ino_t> born{{rotated()[0], inode(path)}};
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 3; ++i) log->writelog(2, "#%d-%d", round, i);
    timeval before, after;
    gettimeofday(&before, nullptr);
    log->create_next_file();
    gettimeofday(&after, nullptr);
    const std::vector<std::string> names = rotated();
    ASSERT_EQ(names.size(), born.size() + 1) << "round " << round;
    const std::string newest = names.back();
    EXPECT_EQ(current(), newest) << "the live name links the newest file";
    EXPECT_TRUE(stamped(before) <= newest && newest <= stamped(after)) << newest;
    for (const auto& old : born) {
      EXPECT_EQ(inode(dir.file(old.first)), old.second) << old.first << " was moved";
    }
    born[newest] = inode(path);
  }
  EXPECT_EQ(list_dir(dir.path()).size(), born.size() + 1) << "a temporary name was left";
  const std::vector<std::string> names = rotated();
  for (int round = 0; round < 4; ++round) {
    const std::string f = names[static_cast<size_t>(round)];
    EXPECT_EQ(own_lines(dir.file(f)),
              (std::vector<std::string>{"#" + std::to_string(round) + "-0",
                                        "#" + std::to_string(round) + "-1",
                                        "#" + std::to_string(round) + "-2"}))
        << f;
  }
  EXPECT_TRUE(own_lines(dir.file(names.back())).empty());
}

// A new run goes on in the current file under the name it was born with;
// a second link that is not one of the log's names does not count.
TEST_F(Generations, ARestartGoesOnInTheCurrentFile) {
  log = open_generations();
  log->writelog(2, "#first run");
  log->create_next_file();
  log->writelog(2, "#before the restart");
  log.reset();
  const std::vector<std::string> before = rotated();
  ASSERT_EQ(before.size(), 2u);
  const ino_t live = inode(path);

  log = open_generations();
  log->writelog(2, "#after the restart");
  EXPECT_EQ(rotated(), before) << "no new name for the same file";
  EXPECT_EQ(inode(path), live);
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 3u);
  EXPECT_EQ(inode(dir.file(before[1])), live);
  EXPECT_EQ(own_lines(dir.file(before[1])),
            (std::vector<std::string>{"#before the restart", "#after the restart"}));
  log.reset();

  // A backup link of the live file beside it: the log gives the file a
  // name of its own all the same.
  TempDir other;
  const std::string plain = other.file("app.log");
  write_file(plain, "Logfile: " + plain + "\r\n");
  ASSERT_EQ(link(plain.c_str(), other.file("backup.log").c_str()), 0);
  std::unique_ptr<CQel_Log> linked = open_log(plain);
  linked->set_generations(true);
  const std::vector<std::string> named = rotated_files(other.path());
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(inode(other.file(named[0])), inode(plain));
  EXPECT_EQ(links(plain), 3u);
}

// Turned off, the current file keeps its name and the next file is born
// under the live name alone; a leftover under the temporary name goes only
// when it is a second link of a file of the log's.
TEST_F(Generations, OffAgainAndLeftOversOfAnUnfinishedRotation) {
  log = open_generations();
  const std::string link_name = dir.file(".app.log.link");
  ASSERT_EQ(link(dir.file(rotated()[0]).c_str(), link_name.c_str()), 0);
  log->writelog(2, "#one");
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 2u) << "the leftover second link was cleared";
  EXPECT_FALSE(file_exists(link_name));

  write_file(link_name, "a file of its own\r\n");
  log->set_logbits(0x100003);
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 2u) << "a lone file there stops the rotation";
  EXPECT_EQ(read_file(link_name), "a file of its own\r\n");
  log->create_next_file();
  EXPECT_EQ(count("create_next_file: .app.log.link is not the log's own file, left as it is"), 1u);
  ASSERT_EQ(unlink(link_name.c_str()), 0);

  log->set_generations(false);
  const std::string last = current();
  log->writelog(2, "#two");
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 2u) << "no name for the file born after the switch";
  EXPECT_EQ(current(), "");
  EXPECT_EQ(links(path), 1u);
  EXPECT_EQ(own_lines(dir.file(last)), std::vector<std::string>{"#two"});
  log->create_next_file();
  EXPECT_EQ(rotated().size(), 3u) << "the usual rotation again";
}

TEST(RotatedNameGlob, SplitsAsTheLogsNamesAre) {
  const struct {
    const char* live;
    const char* glob;
  } cases[] = {
      {"/var/log/app/app.log", "/var/log/app/app_*.log"},
      {"logs.d/run.trace.log", "logs.d/run.trace_*.log"},
      {"/tmp/app", "/tmp/app_*"},
      {"/tmp/app.averylongtail", "/tmp/app.averylongtail_*"},
      {"/tmp/.log", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(qellog::rotated_name_glob(c.live), c.glob) << c.live;
}

}  // namespace
