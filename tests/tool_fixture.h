// The qellog tool's test fixture: the built program run with a HOME of
// its own, and helpers to read what it wrote.
#ifndef QELLOG_TESTS_TOOL_FIXTURE_H
#define QELLOG_TESTS_TOOL_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace qellog_tool_test {

using namespace qellog_test;

inline bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

inline bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// The message lines of a log without their first `skip` prefix fields
// (time of day, elapsed time, pid:tid, processor; each ends in a blank):
// the lines that go on with an eight-digit hexadecimal value field.
inline std::vector<std::string> message_lines(const std::string& log, int skip = 0) {
  std::vector<std::string> out;
  for (const std::string& line : split_crlf(log)) {
    size_t pos = 0;
    for (int i = 0; i < skip && pos != std::string::npos; ++i) {
      pos = line.find(' ', pos);
      if (pos != std::string::npos) ++pos;
    }
    if (pos == std::string::npos || line.size() < pos + 9) continue;
    const std::string rest = line.substr(pos);
    if (rest[8] == ' ' && std::all_of(rest.begin(), rest.begin() + 8, [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c));
        })) {
      out.push_back(rest);
    }
  }
  return out;
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
  std::string log_path(const std::string& name) const { return home() + "/logs/" + name + ".log"; }

  std::string param_path(const std::string& name) const {
    return home() + "/.config/qel/" + name + "_param.ini";
  }

  // A parameter file of the given text.
  void write_param_text(const std::string& name, const std::string& text) {
    write_param_file(home(), name, text);
  }

  // A parameter file whose log goes to $HOME/logs/<name>.log.
  void write_params(const std::string& name, const std::string& logging,
                    const std::string& more = "") {
    write_param_text(
        name, log_params(home() + "/logs", name + ".log", "Logging=" + logging + "\n" + more));
  }

  // Runs the tool with `args`, HOME set to the test's home and `input` as
  // standard input.
  ChildResult run(const std::vector<std::string>& args, const std::string& input = "",
                  const char* home_value = nullptr) {
    const std::string in_path = home_.file("stdin." + std::to_string(runs_++));
    write_file(in_path, input);
    const std::string home_text = home_value != nullptr ? home_value : home();
    return run_in_child([&]() {
      const int fd = open(in_path.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) < 0) return 126;
      exec_tool(args, home_text);
    });
  }

  // What run_quiet() saw: the exit status, standard error, and the largest
  // resident size of the tool in KiB.
  struct QuietResult {
    int status = -1;
    std::string err;
    long max_rss_kib = 0;
  };

  // Runs the tool with its standard output and input on /dev/null.
  QuietResult run_quiet(const std::vector<std::string>& args) {
    const std::string err_path = home_.file("quiet.err." + std::to_string(runs_++));
    const pid_t pid = fork();
    if (pid == 0) {
      const int null_fd = open("/dev/null", O_RDWR);
      const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (null_fd < 0 || err_fd < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0 ||
          dup2(err_fd, 2) < 0) {
        _exit(126);
      }
      exec_tool(args, home());
    }
    QuietResult r;
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = read_file(err_path);
    r.max_rss_kib = usage.ru_maxrss;
    return r;
  }

  // In a forked child: runs the tool with `args` and HOME at `home_text`.
  // A tool that hangs is ended by SIGALRM (status 142) long before the
  // test's own time runs out.
  [[noreturn]] void exec_tool(const std::vector<std::string>& args, const std::string& home_text) {
    std::vector<char*> argv{const_cast<char*>(tool_.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    setenv("HOME", home_text.c_str(), 1);
    alarm(30);
    execv(tool_.c_str(), argv.data());
    _exit(127);
  }

  std::string tool_;
  TempDir home_;
  int runs_ = 0;
};

// The tool on the slave side of a pseudo-terminal, so that its standard
// output is a terminal; the test reads what the terminal would show.
class OnTerminal {
 public:
  // `exec` runs in the child and does not return.
  explicit OnTerminal(const std::function<void()>& exec) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      exec();
      _exit(127);
    }
  }
  ~OnTerminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0; }
  // Reads until `pred` holds for what was shown (CRs of the terminal's
  // line ends removed), the tool ends, or 10 s pass.
  bool read_until(const std::function<bool(const std::string&)>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred(shown_) && std::chrono::steady_clock::now() < deadline) {
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;  // EIO: the tool closed the terminal
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\r') shown_ += buf[i];
      }
    }
    return pred(shown_);
  }
  // Reads to the end and returns the exit status.
  int finish() {
    read_until([](const std::string&) { return false; });
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void stop() { kill(pid_, SIGTERM); }
  const std::string& shown() const { return shown_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
};

}  // namespace qellog_tool_test

#endif  // QELLOG_TESTS_TOOL_FIXTURE_H
