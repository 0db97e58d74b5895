// The qellog tool, run as a program with a HOME of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

using namespace qellog_test;

namespace {

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// The text with every digit replaced by '9', to compare dates by form.
std::string shape(std::string s) {
  for (char& c : s) {
    if (c >= '0' && c <= '9') c = '9';
  }
  return s;
}

// The message lines of a log without their first `skip` prefix fields
// (time of day, elapsed time, pid:tid, processor; each ends in a blank):
// the lines that go on with an eight-digit hexadecimal value field.
std::vector<std::string> message_lines(const std::string& log, int skip = 0) {
  std::vector<std::string> out;
  for (const std::string& line : split_crlf(log)) {
    size_t pos = 0;
    for (int i = 0; i < skip && pos != std::string::npos; ++i) {
      pos = line.find(' ', pos);
      if (pos != std::string::npos) ++pos;
    }
    if (pos == std::string::npos || line.size() < pos + 9) continue;
    const std::string rest = line.substr(pos);
    if (rest[8] == ' ' &&
        std::all_of(rest.begin(), rest.begin() + 8, [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c));
        })) {
      out.push_back(rest);
    }
  }
  return out;
}

bool ends_with_trailer(const std::string& log) {
  const std::string trailer = "\r\nLogging ended at 99.99.9999 99:99.99 \r\n" +
                              std::string(72, '-') + "\r\n\r\n\r\n";
  return log.size() >= trailer.size() &&
         shape(log.substr(log.size() - trailer.size())) == trailer;
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef QELLOG_TOOL_PATH
    GTEST_SKIP() << "the qellog tool is not built (QELLOG_BUILD_TOOLS=OFF)";
#else
    tool_ = QELLOG_TOOL_PATH;
#endif
  }

  std::string home() const { return home_.path(); }
  std::string log_path(const std::string& name) const {
    return home() + "/logs/" + name + ".log";
  }

  // A parameter file whose log goes to $HOME/logs/<name>.log.
  void write_params(const std::string& name, const std::string& logging) {
    mkdir((home() + "/.config").c_str(), 0755);
    mkdir((home() + "/.config/qel").c_str(), 0755);
    write_file(home() + "/.config/qel/" + name + "_param.ini",
               "[LOGGING]\nLogpath=" + home() + "/logs\nLogname=" + name +
                   ".log\nLogFileFlags=O_CREAT\nLogging=" + logging + "\n");
  }

  // Runs the tool with `args`, HOME set to the test's home and `input` as
  // standard input.
  ChildResult run(const std::vector<std::string>& args,
                  const std::string& input = "",
                  const char* home_value = nullptr) {
    const std::string in_path = home_.file("stdin." + std::to_string(runs_++));
    write_file(in_path, input);
    const std::string home_text = home_value != nullptr ? home_value : home();
    return run_in_child([&]() {
      std::vector<char*> argv{const_cast<char*>(tool_.c_str())};
      for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      setenv("HOME", home_text.c_str(), 1);
      const int fd = open(in_path.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) < 0) return 126;
      execv(tool_.c_str(), argv.data());
      return 127;
    });
  }

  std::string tool_;
  TempDir home_;
  int runs_ = 0;
};

TEST_F(ToolTest, PipesEachLineAndClosesTheLog) {
  write_params("pipe", "0x3");
  const ChildResult r =
      run({"pipe"}, std::string("one\r\ntwo\n\nnul\0byte\nlast", 23));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string log = read_file(log_path("pipe"));
  EXPECT_TRUE(starts_with(log, "Logfile: " + log_path("pipe") + "\r\n")) << log;
  EXPECT_TRUE(contains(log, "\r\nqellog Version: ")) << "banner of the tool";
  EXPECT_EQ(message_lines(log), (std::vector<std::string>{
                                    "00000001 one", "00000002 two", "00000003 ",
                                    "00000004 nul\\0byte", "00000005 last"}));
  EXPECT_TRUE(ends_with_trailer(log)) << log;

  // A second run appends; empty input adds a header, banner and trailer.
  const ChildResult empty = run({"pipe"}, "");
  EXPECT_EQ(empty.status, 0) << empty.err;
  const std::string again = read_file(log_path("pipe"));
  ASSERT_TRUE(starts_with(again, log));
  const std::string added = again.substr(log.size());
  EXPECT_TRUE(starts_with(added, "Logfile: ")) << added;
  EXPECT_TRUE(message_lines(added).empty()) << added;
  EXPECT_TRUE(ends_with_trailer(added)) << added;
}

TEST_F(ToolTest, LongLinesAreSplitVisiblyAndKeptWhole) {
  // Every prefix field on, and the error tag: the longest prefix there is.
  write_params("long", "0xF003");
  std::string line600, line200k;
  for (int i = 0; i < 600; ++i) line600 += static_cast<char>('0' + i % 10);
  for (int i = 0; i < 200000; ++i) line200k += static_cast<char>('a' + i % 26);
  const ChildResult r =
      run({"--error", "long"}, line600 + "\n" + line200k + "\nend\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string log = read_file(log_path("long"));
  // Time of day, elapsed time, pid:tid and processor come first.
  const std::vector<std::string> lines = message_lines(log, 4);
  std::vector<std::string> rejoined;
  bool open = false;
  for (const std::string& l : split_crlf(log)) {
    EXPECT_LE(l.size(), 297u) << l.substr(0, 80);
  }
  for (const std::string& l : lines) {
    const std::string tag = l.substr(0, 15);  // "0000000N ERROR "
    ASSERT_EQ(tag.substr(8), " ERROR ") << l;
    std::string body = l.substr(15);
    if (open) {
      ASSERT_TRUE(starts_with(body, "+ ")) << l;
      body.erase(0, 2);
    } else {
      rejoined.emplace_back();
      EXPECT_EQ(tag.substr(0, 8), "0000000" + std::to_string(rejoined.size()));
    }
    open = ends_with(body, " \\");
    if (open) body.erase(body.size() - 2);
    rejoined.back() += body;
  }
  EXPECT_FALSE(open);
  EXPECT_EQ(rejoined, (std::vector<std::string>{line600, line200k, "end"}));
  EXPECT_GT(lines.size(), 200000u / 224) << "the long line took many pieces";
}

TEST_F(ToolTest, FlagWordChoosesClassAndTag) {
  write_params("flags", "0x3");
  EXPECT_EQ(run({"-e", "flags"}, "boom\n").status, 0);
  EXPECT_EQ(run({"--flags", "0x2", "flags"}, "info\n").status, 0);
  EXPECT_EQ(run({"flags"}, "plain\n").status, 0);
  EXPECT_EQ(run({"-f", "0x1", "flags"}, "hex one\n").status, 0);
  // A class the mask leaves out: nothing is written, and the tool says so.
  const ChildResult filtered = run({"--flags", "4", "flags"}, "hidden\n");
  EXPECT_EQ(filtered.status, 0);
  EXPECT_TRUE(contains(filtered.err, "shares no bit with the mask 0x3"))
      << filtered.err;
  EXPECT_EQ(
      message_lines(read_file(log_path("flags"))),
      (std::vector<std::string>{"00000001 ERROR boom", "00000001 info",
                                "00000001 plain", "00000001 ERROR hex one"}));
}

TEST_F(ToolTest, WhereShowsTheResolvedNames) {
  const ChildResult r = run({"--where", "app"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "parameter file: " + home() + "/.config/qel/app_param.ini\n" +
                "registry file: " + home() + "/.config/qel/app_reg.ini\n" +
                "default log file: " + home() + "/.qel/qel_logging/app.log\n");
  const ChildResult relative = run({"-w", "app"}, "", "");
  EXPECT_EQ(relative.out,
            "parameter file: ./app_param.ini\nregistry file: ./app_reg.ini\n"
            "default log file: ./app.log\n");
  EXPECT_FALSE(file_exists(home() + "/.config")) << "--where creates nothing";
}

TEST_F(ToolTest, InitWritesAFileThatThePipeUses) {
  const std::string param = home() + "/.config/qel/fresh_param.ini";
  const ChildResult init = run({"--init", "fresh"});
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_TRUE(contains(init.out, param)) << init.out;
  const std::string text = read_file(param);
  for (const char* key :
       {"\n[LOGGING]\n", "\nLogpath = ", "\nLogname = fresh.log\n",
        "\nLogFileFlags = O_CREAT\n", "\nLogFilePermission = 0644\n",
        "\nLogging = 0x1003\n", "\nFlushcount = 1000\n",
        "\nMaxfilesize = 4Mb\n", "\nFlushthread = yes\n", "\n[GENERAL]\n",
        "\ngeneral = 0\n"}) {
    EXPECT_TRUE(contains(text, key)) << "missing " << key;
  }

  const ChildResult pipe = run({"fresh"}, "hello\n");
  EXPECT_EQ(pipe.status, 0) << pipe.err;
  const std::string log = read_file(home() + "/.qel/qel_logging/fresh.log");
  EXPECT_EQ(message_lines(log, 1), std::vector<std::string>{"00000001 hello"})
      << log;
  const size_t at = log.find(" 00000001 hello\r\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(shape(log.substr(at - 12, 12)), "99:99:99.999")
      << "Logging = 0x1003 puts the time of day first";
  EXPECT_TRUE(ends_with_trailer(log));

  // A second --init leaves the file alone.
  write_file(param, text + "; edited\n");
  const ChildResult again = run({"-i", "fresh"});
  EXPECT_EQ(again.status, 3);
  EXPECT_TRUE(contains(again.err, param + " exists already")) << again.err;
  EXPECT_EQ(read_file(param), text + "; edited\n");
}

TEST_F(ToolTest, MissingOrUnusableParameterFileIsReported) {
  const ChildResult none = run({"ghost"}, "lost line\n");
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(contains(none.err,
                       home() + "/.config/qel/ghost_param.ini does not exist"))
      << none.err;
  EXPECT_TRUE(contains(none.err, "qellog --init ghost")) << none.err;
  EXPECT_EQ(list_dir(home()).size(), 1u) << "only the test's stdin file";

  // A file without [LOGGING] means the default log, whose directory the
  // library does not create: no log file.
  mkdir((home() + "/.config").c_str(), 0755);
  mkdir((home() + "/.config/qel").c_str(), 0755);
  write_file(home() + "/.config/qel/bare_param.ini", "[GENERAL]\ngeneral=1\n");
  const ChildResult bare = run({"bare"}, "lost line\n");
  EXPECT_EQ(bare.status, 1);
  EXPECT_TRUE(contains(bare.err, "no log file could be opened")) << bare.err;
  EXPECT_TRUE(contains(bare.err, home() + "/.qel/qel_logging/bare.log"))
      << bare.err;
}

TEST_F(ToolTest, UsageErrorsAndHelp) {
  const ChildResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(starts_with(help.out, "Usage: qellog")) << help.out;
  EXPECT_TRUE(contains(help.out, "Exit status:"));
  EXPECT_EQ(help.err, "");

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--bogus", "x"}, "unknown option '--bogus'"},
      {{"-ez", "x"}, "unknown option '-z'"},
      {{}, "missing NAME"},
      {{"-f"}, "option '-f' needs a value"},
      {{"--flags", "12abc", "x"}, "bad flag word '12abc'"},
      {{"--flags", "0x100000000", "x"}, "bad flag word"},
      {{"--flags", "-1", "x"}, "bad flag word"},
      {{"--flags", "0x1000000", "x"}, "writes no log line"},
      {{"--where", "--init", "x"}, "conflicts"},
      {{"--where", "--error", "x"}, "apply only to piping"},
      {{"a", "b"}, "unexpected argument 'b'"},
      {{"../x"}, "bad NAME"},
      {{""}, "bad NAME"},
  };
  for (const auto& [args, message] : bad) {
    const ChildResult r = run(args);
    const std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_TRUE(contains(r.err, message)) << shown << ": " << r.err;
    EXPECT_TRUE(contains(r.err, "Usage: qellog")) << shown;
    EXPECT_EQ(r.out, "") << shown;
  }
}

TEST_F(ToolTest, StopSignalStillWritesTheTrailer) {
  write_params("stop", "0x3");
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[1]);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    setenv("HOME", home().c_str(), 1);
    execl(tool_.c_str(), tool_.c_str(), "stop", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  const char kLines[] = "before the signal\nunfinished";
  ASSERT_EQ(write(in[1], kLines, sizeof kLines - 1),
            static_cast<ssize_t>(sizeof kLines - 1));
  EXPECT_TRUE(wait_until([&] {
    return contains(read_file(log_path("stop")), "before the signal");
  })) << "the first line never reached the log";
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(in[1]);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  const std::string log = read_file(log_path("stop"));
  EXPECT_EQ(message_lines(log),
            (std::vector<std::string>{"00000001 before the signal",
                                      "00000002 unfinished"}));
  EXPECT_TRUE(ends_with_trailer(log)) << log;
}

}  // namespace
