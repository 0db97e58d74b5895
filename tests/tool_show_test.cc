// qellog --show and --follow on logs that the library rotates.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <thread>

#include "qellog/log.h"
#include "tool_fixture.h"

using namespace qellog_tool_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

std::vector<std::string> numbered(int first, int last) {
  std::vector<std::string> out;
  for (int i = first; i <= last; ++i) out.push_back("line " + std::to_string(i));
  return out;
}

class ShowTest : public ToolTest {
 protected:
  // The log the parameter file of "app" selects, written by the library.
  std::unique_ptr<CQel_Log> open_log() {
    write_params("app", "3");
    mkdir((home() + "/logs").c_str(), 0755);
    std::unique_ptr<CQel_Log> log(
        new CQel_Log(log_path("app").c_str(), O_WRONLY | O_CREAT, 0644));
    log->set_lib_vers("showtest", "1.0", "today");
    return log;
  }
};

TEST_F(ShowTest, ShowsRotatedFilesOldestFirstThenTheLiveFile) {
  {
    std::unique_ptr<CQel_Log> log = open_log();
    for (int i = 1; i <= 250; ++i) {
      log->writelog(LOGBIT_INFO, "line %d", i);
      if (i % 10 == 0) log->create_next_file();  // 25 rotations
    }
  }
  // Files of other logs and look-alikes in the same directory.
  write_file(home() + "/logs/app_2099_01_01_00_00_00_000.log.1", "line 0\r\n");
  write_file(home() + "/logs/other_2099_01_01_00_00_00_000.log", "line 0\r\n");
  ASSERT_EQ(list_dir(home() + "/logs").size(), 28u);

  const ChildResult plain = run({"--show", "--no-headers", "app"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(lines_of(plain.out), numbered(1, 250));

  const ChildResult full = run({"-s", "app"});
  EXPECT_EQ(full.status, 0) << full.err;
  const std::vector<std::string> all = lines_of(full.out);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0], "Logfile: " + log_path("app"));
  EXPECT_EQ(std::count(all.begin(), all.end(), log_path("app")), 25);
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& l) {
                            return starts_with(l, "logfile continued ");
                          }),
            25);
  EXPECT_EQ(std::count(all.begin(), all.end(), "showtest Version: 1.0 created today"), 26);
  EXPECT_TRUE(starts_with(all[all.size() - 4], "Logging ended at ")) << full.out;
  EXPECT_EQ(full.out.find('\r'), std::string::npos);

  write_param_text("nolog", "[LOGGING]\nLogname=" + home() + "/none.log\n");
  const ChildResult none = run({"--show", "nolog"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "qellog: no log file " + home() +
                          "/none.log and no rotated files\n");
}

// A writer rotates while --follow runs: every line shows once, in order,
// and SIGTERM ends the tool with status 0.
TEST_F(ShowTest, FollowKeepsUpAcrossRotations) {
  std::unique_ptr<CQel_Log> log = open_log();
  log->writelog(LOGBIT_INFO, "line 1");
  const std::string out_path = home_.file("follow.out");
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    setenv("HOME", home().c_str(), 1);
    execl(tool_.c_str(), tool_.c_str(), "-F", "--no-headers", "app",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(wait_until([&] { return read_file(out_path) == "line 1\n"; }))
      << read_file(out_path);
  // 12 rotations: the first six one at a time (the tool polls every
  // 100 ms), the others faster than it looks.
  for (int i = 2; i <= 300; ++i) {
    log->writelog(LOGBIT_INFO, "line %d", i);
    if (i % 25 != 0) continue;
    log->create_next_file();
    if (i <= 150) std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_TRUE(wait_until([&] { return contains(read_file(out_path), "line 300\n"); },
                         10000));
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(lines_of(read_file(out_path)), numbered(1, 300));
}

}  // namespace
