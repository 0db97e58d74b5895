// Which live names the library rotates, and where it follows a link.
#include "log/log_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

using namespace qellog_test;

namespace {

TEST(LogFilesTest, OnlyARegularFileAtTheLiveNameIsRotatable) {
  TempDir dir;
  write_file(dir.file("app.log"), "");
  ASSERT_EQ(symlink(dir.file("app.log").c_str(), dir.file("link.log").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo.log").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.file("dir.log").c_str(), 0755), 0);
  const int dir_fd = open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  const std::pair<const char*, bool> cases[] = {{"app.log", true},
                                                {"link.log", false},
                                                {"fifo.log", false},
                                                {"dir.log", false},
                                                {"missing.log", false}};
  for (const auto& [leaf, rotatable] : cases) {
    EXPECT_EQ(qellog::live_name_rotatable(dir_fd, leaf), rotatable) << leaf;
  }
  close(dir_fd);
}

TEST(LogFilesTest, LinksAreFollowedOnlyWhereNobodyElseCanPlantThem) {
  const uid_t me = geteuid();
  const uid_t other = me == 0 ? 65534 : (me == 1 ? 2 : 1);
  const struct {
    uid_t owner;
    mode_t mode;
    bool others_may_plant;
  } cases[] = {
      {me, 0755, false}, {0, 0755, false}, {other, 0755, true},
      {me, 0775, true},  {me, 0757, true}, {0, 01777, true},
  };
  for (const auto& c : cases) {
    struct stat st {};
    st.st_uid = c.owner;
    st.st_mode = S_IFDIR | c.mode;
    EXPECT_EQ(qellog::others_may_plant(st), c.others_may_plant)
        << c.owner << " " << std::oct << c.mode;
  }
}

}  // namespace
