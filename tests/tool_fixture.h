// The qellog tool's test fixture: the built program run with a HOME of
// its own, and helpers to read what it wrote.
#ifndef QELLOG_TESTS_TOOL_FIXTURE_H
#define QELLOG_TESTS_TOOL_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
    if (rest[8] == ' ' &&
        std::all_of(rest.begin(), rest.begin() + 8, [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c));
        })) {
      out.push_back(rest);
    }
  }
  return out;
}

inline bool ends_with_trailer(const std::string& log) {
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

  std::string param_path(const std::string& name) const {
    return home() + "/.config/qel/" + name + "_param.ini";
  }

  // A parameter file of the given text.
  void write_param_text(const std::string& name, const std::string& text) {
    mkdir((home() + "/.config").c_str(), 0755);
    mkdir((home() + "/.config/qel").c_str(), 0755);
    write_file(param_path(name), text);
  }

  // A parameter file whose log goes to $HOME/logs/<name>.log.
  void write_params(const std::string& name, const std::string& logging,
                    const std::string& more = "") {
    write_param_text(name, "[LOGGING]\nLogpath=" + home() + "/logs\nLogname=" +
                               name + ".log\nLogFileFlags=O_CREAT\nLogging=" +
                               logging + "\n" + more);
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

}  // namespace qellog_tool_test

#endif  // QELLOG_TESTS_TOOL_FIXTURE_H
