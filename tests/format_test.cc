// qellog/format.h: {} formatting through the line path of writelog(), for
// a log object and for the process log.
#include "qellog/format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "log_test_util.h"

using namespace qellog_test;

namespace {

// Counts how often fmt formats it.
struct Counted {
  int* calls;
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<int> {
  auto format(const Counted& c, fmt::format_context& ctx) const {
    return fmt::formatter<int>::format(++*c.calls, ctx);
  }
};

namespace {

class FormatTest : public LogTest {};

TEST_F(FormatTest, BracesThroughTheLinePath) {
  log = open_log(path, 3);
  int calls = 0;
  qellog::log(*log, 0x80, "dropped {}", Counted{&calls});  // not in the mask
  EXPECT_EQ(calls, 0);
  qellog::log(*log, LOGBIT_INFO, "{} of {}: {}", 3, "x", Counted{&calls});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(last_line(), "3 of x: 1");

  log->set_logbits(0xff);
  log->set_classname(0x4, "WARN");
  qellog::log(*log, 0x5, "{:>4}|{:.2f}", 7, 0.5);
  EXPECT_EQ(last_line(), "ERROR WARN    7|0.50");
  qellog::log(*log, 2, "user {}", "x\r\nLogging ended at");
  EXPECT_EQ(last_line(), "user x\\r\nLogging ended at");
  const std::string url(480, 'u');
  qellog::log(*log, 2, "{}", url);
  EXPECT_EQ(last_line(), url.substr(0, 297));
  log->set_maxlinelength(4096);
  qellog::log(*log, 2, "{}", url);
  EXPECT_EQ(last_line(), url);
  // A format error that fmt finds at run time is written, not thrown.
  qellog::log(*log, 2, fmt::runtime("{:d}"), "text");
  EXPECT_EQ(last_line().substr(0, 20), "{:d} (format error: ");

  // The process log: no value field; nothing without one.
  qellog::log(LOGBIT_INFO, "no process log {}", Counted{&calls});
  EXPECT_EQ(calls, 1);
  write_param_file(dir.path(), "app", log_params(dir.path(), "api.log", "Logging=3\n"));
  const ChildResult r = run_in_child([&] {
    setenv("HOME", dir.path().c_str(), 1);
    init_logging("app");
    qellog::log(0x80, "dropped {}", Counted{&calls});
    qellog::log(LOGBIT_ERROR, "pid {} ok", 5);
    exit_logging();
    return calls == 1 ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(read_file(dir.file("api.log")).find("\r\nERROR pid 5 ok\r\n"), std::string::npos);
}

}  // namespace
