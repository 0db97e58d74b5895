// qellog --show and --follow on logs that the library rotates.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "log/retention.h"
#include "log/sys_calls.h"
#include "log_test_util.h"
#include "qellog/log.h"
#include "tool_fixture.h"

using namespace qellog_tool_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) { return split_crlf(text, "\n"); }

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
    std::unique_ptr<CQel_Log> log(new CQel_Log(log_path("app").c_str(), O_WRONLY | O_CREAT, 0644));
    log->set_lib_vers("showtest", "1.0", "today");
    return log;
  }

  // Writes "line 2" to "line <last>", rotating after every 25th; until
  // line `paced` a rotation waits 150 ms (the tool polls every 100 ms), so
  // that the follower meets them one at a time. Then waits for the
  // follower to show the last line.
  bool write_rotating(CQel_Log& log, int last, int paced, const std::string& out_path) {
    for (int i = 2; i <= last; ++i) {
      log.writelog(LOGBIT_INFO, "line %d", i);
      if (i % 25 != 0) continue;
      log.create_next_file();
      if (i <= paced) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    const std::string want = "line " + std::to_string(last) + "\n";
    return wait_until([&] { return contains(read_file(out_path), want); }, 10000);
  }
  // `qellog -F --no-headers app` with its output into `out_path`.
  pid_t follow_app(const std::string& out_path) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      setenv("HOME", home().c_str(), 1);
      execl(tool_.c_str(), tool_.c_str(), "-F", "--no-headers", "app", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
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
  EXPECT_EQ(
      std::count_if(all.begin(), all.end(),
                    [](const std::string& l) { return starts_with(l, "logfile continued "); }),
      25);
  EXPECT_EQ(std::count(all.begin(), all.end(), "showtest Version: 1.0 created today"), 26);
  EXPECT_TRUE(starts_with(all[all.size() - 4], "Logging ended at ")) << full.out;
  EXPECT_EQ(full.out.find('\r'), std::string::npos);

  write_param_text("nolog", "[LOGGING]\nLogname=" + home() + "/none.log\n");
  const ChildResult none = run({"--show", "nolog"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "qellog: no log file " + home() + "/none.log and no rotated files\n");
}

// A writer rotates while --follow runs: every line shows once, in order,
// and SIGTERM ends the tool with status 0.
TEST_F(ShowTest, FollowKeepsUpAcrossRotations) {
  std::unique_ptr<CQel_Log> log = open_log();
  log->writelog(LOGBIT_INFO, "line 1");
  const std::string out_path = home_.file("follow.out");
  const pid_t pid = follow_app(out_path);
  ASSERT_TRUE(wait_until([&] { return read_file(out_path) == "line 1\n"; })) << read_file(out_path);
  // 12 rotations: the first six one at a time, the others faster than
  // the tool looks.
  EXPECT_TRUE(write_rotating(*log, 300, 150, out_path));
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(lines_of(read_file(out_path)), numbered(1, 300));
}

CQel_Log* g_held_log = nullptr;

// A rotation held between the new file taking the lines and the live name
// moving on, while the follower switches to the file the rotation before
// made: the newer file, with a line in it, comes after that one.
TEST_F(ShowTest, FollowOverGenerationsWhileARotationIsUnderWay) {
  std::unique_ptr<CQel_Log> log = open_log();
  log->set_generations(true);
  log->writelog(LOGBIT_INFO, "line 1");
  const std::string out_path = home_.file("follow.out");
  const pid_t pid = follow_app(out_path);
  ASSERT_TRUE(wait_until([&] { return read_file(out_path) == "line 1\n"; })) << read_file(out_path);
  log->writelog(LOGBIT_INFO, "line 2");
  log->create_next_file();
  log->writelog(LOGBIT_INFO, "line 3");
  g_held_log = log.get();
  {
    // The follower notices the move within 100 ms and reads the old file
    // until it has been quiet for 100 ms before it lists the files.
    ScopedSeam<decltype(qellog::sys.renameat2)> held(
        qellog::sys.renameat2,
        [](int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
          g_held_log->writelog(LOGBIT_INFO, "line 4");
          std::this_thread::sleep_for(std::chrono::milliseconds(1000));
          return ::renameat2(from_dir, from, to_dir, to, flags);
        });
    log->create_next_file();
  }
  log->writelog(LOGBIT_INFO, "line 5");
  EXPECT_TRUE(wait_until([&] { return contains(read_file(out_path), "line 5\n"); }));
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_EQ(lines_of(read_file(out_path)), numbered(1, 5));
}

// The generations layout: --where names the current file as the log
// file's, and --show and --follow take every line once, in order.
TEST_F(ShowTest, ShowFollowAndWhereOverGenerations) {
  std::unique_ptr<CQel_Log> log = open_log();
  log->set_generations(true);
  log->writelog(LOGBIT_INFO, "line 1");
  const std::string out_path = home_.file("follow.out");
  const pid_t pid = follow_app(out_path);
  ASSERT_TRUE(wait_until([&] { return read_file(out_path) == "line 1\n"; })) << read_file(out_path);
  EXPECT_TRUE(write_rotating(*log, 150, 150, out_path));
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_EQ(lines_of(read_file(out_path)), numbered(1, 150));

  const ChildResult shown = run({"--show", "--no-headers", "app"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(lines_of(shown.out), numbered(1, 150));
  const std::vector<std::string> gens = rotated_files(home() + "/logs");
  ASSERT_EQ(gens.size(), 7u);
  const ChildResult where = run({"--where", "app"});
  EXPECT_TRUE(contains(where.out, "\nrotated names: " + home() + "/logs/app_*.log\n")) << where.out;
  EXPECT_TRUE(contains(where.out, "\nrotated files: 6, ")) << where.out;
  EXPECT_TRUE(ends_with(where.out,
                        "\ncurrent file: " + home() + "/logs/" + gens.back() + " (the log file)\n"))
      << where.out;
}

// Names planted beside a log in a shared directory: --where, --show,
// --follow and retention all take the same files as the log's, oldest
// first, a file the user's own clock stamped ahead as the oldest.
TEST_F(ShowTest, EveryReaderAndRetentionTakeTheSameFilesAsTheLogs) {
  const std::string dir = home() + "/logs/";
  {
    std::unique_ptr<CQel_Log> log = open_log();
    for (int i = 1; i <= 30; ++i) {
      log->writelog(LOGBIT_INFO, "line %d", i);
      if (i % 10 == 0) log->create_next_file();
    }
  }
  ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
  const std::vector<std::string> real = rotated_files(dir, "app", ".log");
  ASSERT_EQ(real.size(), 3u);
  const std::string header =
      "Logfile: " + log_path("app") + "\r\nLogging started at 01.01.2020 00:00:00 \r\n\r\n";
  const uid_t me = geteuid(), nobody = 65534;
  const struct {
    const char* name;
    uid_t owner;
    std::string content;  // empty: a symlink to the oldest real file
    const char* reason;   // null: one of the log's
  } planted[] = {
      {"app_2020_01_01_00_00_00_000.log", nobody, header + "ERROR forged\r\n",
       "owned by another user"},
      {"app_2099_01_01_00_00_00_000.log", nobody, header + "ERROR forged\r\n",
       "owned by another user"},
      {"app_2019_01_01_00_00_00_000.log", me, "ERROR forged\r\n", "no header of this log"},
      {"app_2018_01_01_00_00_00_000.log", me, "", "not a regular file"},
      {"app_2098_01_01_00_00_00_000.log", me, header + "line 0\r\n", nullptr},
  };
  std::vector<std::string> others;
  for (const auto& p : planted) {
    if (p.owner != me && me != 0) continue;  // giving a file away needs root
    if (p.content.empty()) {
      ASSERT_EQ(symlink(real[0].c_str(), (dir + p.name).c_str()), 0);
    } else {
      write_file(dir + p.name, p.content);
      ASSERT_EQ(chown((dir + p.name).c_str(), p.owner, p.owner), 0);
    }
    if (p.reason != nullptr) {
      others.push_back("not this log's: " + dir + p.name + " (" + p.reason + ")");
    }
  }
  std::sort(others.begin(), others.end(), [](const std::string& a, const std::string& b) {
    return contains(a, "_2099_") || (!contains(b, "_2099_") && a < b);  // ahead: the oldest
  });

  const ChildResult where = run({"--where", "app"});
  std::vector<std::string> listed, passed_over;
  for (const std::string& l : lines_of(where.out)) {
    if (starts_with(l, "rotated file: ")) listed.push_back(l.substr(14, l.find(',') - 14));
    if (starts_with(l, "not this log's: ")) passed_over.push_back(l);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{dir + "app_2098_01_01_00_00_00_000.log",
                                              dir + real[0], dir + real[1], dir + real[2]}));
  EXPECT_TRUE(contains(where.out, "app_2098_01_01_00_00_00_000.log, " +
                                      std::to_string(header.size() + 8) +
                                      " bytes (stamped ahead of the clock: taken as the oldest)\n"))
      << where.out;
  EXPECT_EQ(passed_over, others);
  const ChildResult show = run({"--show", "--no-headers", "app"});
  EXPECT_EQ(lines_of(show.out), numbered(0, 30));

  const std::string out_path = home_.file("follow.out");
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    exec_tool({"-F", "--no-headers", "app"}, home());
  }
  ASSERT_TRUE(wait_until([&] { return contains(read_file(out_path), "line 30\n"); }));
  {
    std::unique_ptr<CQel_Log> log = open_log();
    for (int i = 31; i <= 60; ++i) {
      log->writelog(LOGBIT_INFO, "line %d", i);
      if (i % 10 == 0) log->create_next_file();
    }
  }
  EXPECT_TRUE(wait_until([&] { return contains(read_file(out_path), "line 60\n"); }, 10000));
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_EQ(lines_of(read_file(out_path)), numbered(0, 60));

  // Retention counts the same files: with 7 of them and a count of 6, the
  // one stamped ahead goes, and nothing planted is touched.
  struct Removed : qellog::RetentionReport {
    void removed(const char* name) override { names.push_back(name); }
    void failed(const char* name, int) override { names.push_back(std::string("! ") + name); }
    std::vector<std::string> names;
  } report;
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(qellog::prune_rotated_files(dir_fd, "app.log", {6, 0, 0}, time(nullptr), report), 1);
  close(dir_fd);
  EXPECT_EQ(report.names, std::vector<std::string>{"app_2098_01_01_00_00_00_000.log"});
  EXPECT_EQ(list_dir(dir).size(), 7u + others.size()) << "the live file and six rotated ones";
}

// copytruncate while --follow runs: said on standard error, and what is
// written from the new start is shown, whether the file is still shorter
// than what was read when the tool looks, or has grown past it at once.
TEST_F(ShowTest, FollowStartsOverInAFileTruncatedInPlace) {
  std::unique_ptr<CQel_Log> log = open_log();
  std::vector<std::string> expected;
  const auto write_lines = [&](int n) {
    for (int i = 0; i < n; ++i) {
      expected.push_back("line " + std::to_string(expected.size() + 1));
      log->writelog(LOGBIT_INFO, "%s", expected.back().c_str());
    }
  };
  write_lines(20);
  const std::string out = home_.file("follow.out"), err = home_.file("follow.err");
  const pid_t pid = fork();
  if (pid == 0 && freopen(out.c_str(), "w", stdout) && freopen(err.c_str(), "w", stderr)) {
    exec_tool({"-F", "--no-headers", log_path("app")}, home());
  }
  if (pid == 0) _exit(126);
  const auto all_shown = [&] {
    return wait_until([&] { return lines_of(read_file(out)) == expected; }, 10000);
  };
  ASSERT_TRUE(all_shown()) << read_file(out);
  std::string said;
  for (const int n : {5, 300}) {  // fewer bytes than were read; more, at once
    ASSERT_EQ(truncate(log_path("app").c_str(), 0), 0);
    said += "qellog: " + log_path("app") + ": file truncated\n";
    write_lines(n);
    EXPECT_TRUE(all_shown()) << n << " lines: " << read_file(out);
    EXPECT_EQ(read_file(err), said) << n << " lines";
  }
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Control characters in a line: escaped on a terminal, raw with --raw and
// when the output is not a terminal; UTF-8 text and TAB pass unchanged.
// The log is named by its path, as for a program without a parameter file.
TEST_F(ShowTest, ATerminalSeesControlCharactersEscaped) {
  const std::string line =
      "title \x1b]0;owned\x07 clear \x1b[2J c1 \xc2\x9b lone \x9d caf\xc3\xa9\tend";
  {
    std::unique_ptr<CQel_Log> log = open_log();
    log->writelog(LOGBIT_INFO, "%s", line.c_str());
  }
  const std::string path = log_path("app");
  const std::string escaped =
      "title \\x1b]0;owned\\x07 clear \\x1b[2J c1 \\xc2\\x9b lone \\x9d caf\xc3\xa9\tend\n";
  OnTerminal tty([&] { exec_tool({"--show", "--no-headers", path}, home()); });
  ASSERT_TRUE(tty.started());
  EXPECT_EQ(tty.finish(), 0);
  EXPECT_EQ(tty.shown(), escaped);

  OnTerminal raw([&] { exec_tool({"--show", "--no-headers", "--raw", path}, home()); });
  EXPECT_EQ(raw.finish(), 0);
  EXPECT_EQ(raw.shown(), line + "\n");
  const ChildResult piped = run({"-s", "--no-headers", path});
  EXPECT_EQ(piped.out, line + "\n");
}

// --follow by path on a terminal: new lines appear escaped as they come.
TEST_F(ShowTest, FollowByPathOnATerminal) {
  std::unique_ptr<CQel_Log> log = open_log();
  log->writelog(LOGBIT_INFO, "first");
  OnTerminal tty([&] { exec_tool({"-F", "--no-headers", log_path("app")}, home()); });
  ASSERT_TRUE(tty.read_until([](const std::string& s) { return s == "first\n"; })) << tty.shown();
  log->writelog(LOGBIT_INFO, "bell\a");
  log->create_next_file();
  log->writelog(LOGBIT_INFO, "after rotation");
  EXPECT_TRUE(tty.read_until([](const std::string& s) { return contains(s, "after rotation\n"); }))
      << tty.shown();
  tty.stop();
  EXPECT_EQ(tty.finish(), 0);
  EXPECT_EQ(tty.shown(), "first\nbell\\x07\nafter rotation\n");
}

// The user's own link at the live name is shown as the library writes
// through it; where another user could have planted the link, neither the
// library nor the tool follows it. A line without an end, however long,
// is shown whole.
TEST_F(ShowTest, ShowsTheLogThroughTheUsersOwnLink) {
  const std::string real_dir = home() + "/real", link_dir = home() + "/linked";
  mkdir(real_dir.c_str(), 0755);
  mkdir(link_dir.c_str(), 0755);
  ASSERT_EQ(symlink((real_dir + "/app.log").c_str(), (link_dir + "/app.log").c_str()), 0);
  const std::string live = link_dir + "/app.log";
  {
    CQel_Log log(live.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_NE(log.get_filehandle(), -1);
    log.writelog(LOGBIT_INFO, "through the link");
  }
  const std::string long_tail(200000, 'x');
  int fd = open((real_dir + "/app.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(write(fd, long_tail.data(), long_tail.size()), static_cast<ssize_t>(long_tail.size()));
  close(fd);
  write_param_text("app", "[LOGGING]\nLogname=" + live + "\n");
  for (const std::string& target : {std::string("app"), live}) {
    const ChildResult r = run({"--show", "--no-headers", target});
    EXPECT_EQ(r.status, 0) << target << r.err;
    // Compared whole, shown by size: the long line would flood the output.
    EXPECT_TRUE(r.out == "through the link\n" + long_tail + "\n")
        << target << ": " << r.out.size() << " bytes, " << r.out.substr(0, 40);
  }

  ASSERT_EQ(chmod(link_dir.c_str(), 0777), 0);
  CQel_Log refused(live.c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(refused.get_filehandle(), -1) << "the library does not follow it";
  const ChildResult r = run({"--show", live});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qellog: no log file " + live + " and no rotated files\n");
}

}  // namespace
