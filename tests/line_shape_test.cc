// How lines look, opt-in: named classes, long lines, texts that cannot end
// a line, cuts between whole characters, LF line ends; each through the
// log class, the parameter file and the process-wide API.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/file_format.h"
#include "log/line_text.h"
#include "log_test_util.h"
#include "qellog/api.h"
#include "qellog/ini.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

class LineShapeTest : public LogTest {
 protected:
  // The log the set-up builds from [LOGGING] + `more` (and what follows
  // it), with the reader's trace lines (value field cut off) in `trace`.
  std::unique_ptr<CQel_Log> from_params(const std::string& more, std::vector<std::string>* trace) {
    ScopedEnv home("HOME", dir.path().c_str());
    write_param_file(dir.path(), "app", log_params(dir.path(), "app.log", more));
    CQel_Log diag(dir.file("trace.log").c_str(), kCreate, 0644);
    CQel_ini ini("app");
    ini.set_ini_log(&diag);
    std::unique_ptr<CQel_Log> made(ini.create_log_from_ini());
    for (const std::string& l : body_lines(dir.file("trace.log"))) trace->push_back(l.substr(9));
    return made;
  }
  // True when `trace` holds `line`.
  static bool has(const std::vector<std::string>& trace, const std::string& line) {
    for (const std::string& l : trace) {
      if (l == line) return true;
    }
    return false;
  }
  // Runs `body` in a child whose HOME holds the parameter file of "app"
  // with [LOGGING] + `more`, after init_logging("app").
  std::string with_process_log(const std::string& more, const std::function<void()>& body) {
    write_param_file(dir.path(), "app", log_params(dir.path(), "app.log", "Logging=0xff\n" + more));
    const ChildResult r = run_in_child([&] {
      setenv("HOME", dir.path().c_str(), 1);
      init_logging("app");
      body();
      exit_logging();
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return read_file(path);
  }
};

TEST_F(LineShapeTest, NamedClasses) {
  log = open_log(path, 0xff);
  ASSERT_TRUE(log->set_classname(0x4, "WARN"));
  ASSERT_TRUE(log->set_classname(0x8, "DEBUG_2"));
  ASSERT_TRUE(log->set_classname(0x2, "INFO"));
  // Refused: 0x1 has its name, a bit word of two bits, bad names.
  for (const auto& bad : std::vector<std::pair<unsigned, const char*>>{{0x1, "FATAL"},
                                                                       {0x6, "BOTH"},
                                                                       {0x4, "warn"},
                                                                       {0x4, "ERROR"},
                                                                       {0x4, ""},
                                                                       {0x4, "A234567890123456"},
                                                                       {0, "ZERO"},
                                                                       {0x4, "W-1"}}) {
    EXPECT_FALSE(log->set_classname(bad.first, bad.second)) << bad.second;
  }
  EXPECT_STREQ(log->get_classname(0x4), "WARN");
  EXPECT_TRUE(log->set_classname(0x10, "GONE"));
  EXPECT_TRUE(log->set_classname(0x10, nullptr));
  EXPECT_EQ(log->get_classname(0x10), nullptr);
  const struct {
    unsigned flags;
    std::string line;
  } cases[] = {
      {0x4, "WARN w"}, {0x5, "ERROR WARN w"}, {0xc, "WARN w"}, {0x8, "DEBUG_2 w"},
      {0x10, "w"},     {0, "ERROR w"},        {0x6, "INFO w"}, {0x20, "w"},
  };
  for (const auto& c : cases) log->writelog(c.flags, "w");
  log->writelog(0x4, 42, "v");
  std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 9u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(l[i], cases[i].line) << "flags " << cases[i].flags;
  EXPECT_EQ(l[8], "0000002a WARN v");

  // Names change while other threads write: each line has a whole name or
  // none.
  std::thread renamer([&] {
    for (int i = 0; i < 300; ++i) log->set_classname(0x40, i % 3 == 0 ? nullptr : "NAME_X");
  });
  std::thread writer([&] {
    for (int i = 0; i < 600; ++i) log->writelog(0x40, "r");
  });
  renamer.join();
  writer.join();
  size_t whole = 0;
  for (const std::string& line : lines()) whole += line == "r" || line == "NAME_X r";
  EXPECT_EQ(whole, 600u);

  // The parameter file: refused names are error lines of the trace.
  log.reset();
  std::vector<std::string> trace;
  log = from_params(
      "Logging=0xff\n[CLASSES]\nWARN = 0x4\nwarn_x = 0x8\nERROR = 0x10\n"
      "TWO = 0x6\nNOTE = 0x1 ; the error class\n",
      &trace);
  EXPECT_TRUE(has(trace, "create_log_from_ini: class WARN bit 0x4"));
  EXPECT_TRUE(has(trace,
                  "ERROR create_log_from_ini: class warn_x = 0x8 refused: a name is 1 to "
                  "15 characters of A-Z, 0-9 and _"));
  EXPECT_TRUE(has(trace,
                  "ERROR create_log_from_ini: class ERROR = 0x10 refused: ERROR is the "
                  "name of bit 0x1"));
  EXPECT_TRUE(
      has(trace, "ERROR create_log_from_ini: class TWO = 0x6 refused: not exactly one bit"));
  EXPECT_TRUE(has(trace,
                  "ERROR create_log_from_ini: class NOTE = 0x1 ; the error class refused: "
                  "bit 0x1 is the error class, named ERROR"));
  EXPECT_EQ(log->get_classname(0x8), nullptr);
  log->writelog(0xc, "from the file");
  EXPECT_EQ(last_line(), "WARN from the file");
  log.reset();

  // The process-wide setter.
  const std::string text = with_process_log("", [] {
    EXPECT_EQ(set_logparam_classname(0x40, "AUDIT"), 0);
    EXPECT_EQ(set_logparam_classname(0x40, "audit"), -1);
    writelog(0x40, nullptr, "by the API");
  });
  EXPECT_NE(text.find("\r\n00000000 AUDIT by the API\r\n"), std::string::npos) << text;
  EXPECT_EQ(set_logparam_classname(0x40, "AUDIT"), -1);  // no process log here
}

TEST_F(LineShapeTest, WholeLongMessages) {
  log = open_log(path, 2);
  const std::string url = "https://example.net/" + std::string(460, 'u');
  log->writelog(2, "%s", url.c_str());
  EXPECT_EQ(last_line(), url.substr(0, 297));  // the default cut
  EXPECT_EQ(log->get_maxlinelength(), 297u);

  log->set_maxlinelength(4096);
  const unsigned before = log->get_msgcount();
  log->writelog(2, 0x2a, "%s", url.c_str());
  EXPECT_EQ(log->get_msgcount(), before + 1);  // one piece
  EXPECT_EQ(last_line(), "0000002a " + url);
  log->writetext(2, url.data(), url.size());
  EXPECT_EQ(last_line(), url);
  // Past the limit it is cut, also through the heap; the text ends at a NUL.
  log->set_maxlinelength(300);
  log->writelog(2, "%s", url.c_str());
  EXPECT_EQ(last_line(), url.substr(0, 300));
  log->set_maxlinelength(4096);
  log->writelog(2, "%s%c%s", url.c_str(), '\0', "after the NUL");
  EXPECT_EQ(last_line(), url);
  // The range: 297 to 65536.
  log->set_maxlinelength(10);
  EXPECT_EQ(log->get_maxlinelength(), 297u);
  log->set_maxlinelength(1ul << 20);
  EXPECT_EQ(log->get_maxlinelength(), 65536u);
  const std::string huge(70000, 'h');
  log->writelog(2, "%s", huge.c_str());
  EXPECT_EQ(last_line(), huge.substr(0, 65536));
  log.reset();

  std::vector<std::string> trace;
  log = from_params("Maxlinelength=4096\n", &trace);
  EXPECT_TRUE(has(trace, "create_log_from_ini: Maxlinelength 4096  4096 ")) << trace.back();
  EXPECT_EQ(log->get_maxlinelength(), 4096u);
  log.reset();
  const std::string text = with_process_log("", [&] {
    set_logparam_maxlinelength(1000);
    writelog(2, nullptr, "%s", url.c_str());
  });
  EXPECT_NE(text.find("\r\n00000000 " + url + "\r\n"), std::string::npos);
}

TEST_F(LineShapeTest, TextNeverForgesALine) {
  log = open_log(path, 3);
  const std::string forged = "x\r\nLogging ended at 05.03.2024 18:30.02 ";
  log->writelog(2, "user %s", forged.c_str());
  log->writelog(2, "lone\nLF");
  log->set_lib_desc("d\r\n\r\n");
  log->set_lib_vers("n\r\nLogfile: /x", "v\r", "c");
  const char raw[] = "raw\r\n";
  log->write_to_file(raw, 5);
  // An escape that does not fit whole is left out: 296 + 2 > 297.
  log->writelog(2, "%s\r", std::string(296, 'a').c_str());
  log.reset();
  const std::vector<std::string> l = lines();
  ASSERT_GE(l.size(), 8u);
  EXPECT_EQ(l[0], "user x\\r\nLogging ended at 05.03.2024 18:30.02 ");
  EXPECT_EQ(l[1], "lone\nLF");
  EXPECT_EQ(l[2], "n\\r\nLogfile: /x Version: v\\r created c");
  EXPECT_EQ(l[3], "Description: d\\r\n\\r\n");
  EXPECT_EQ(l[4], "");
  EXPECT_EQ(l[5], "raw");
  EXPECT_EQ(l[6], std::string(296, 'a'));
  EXPECT_EQ(count_of(read_file(path), "Logging ended at "), 2u);  // the text's and the trailer's
  EXPECT_EQ(count_of(read_file(path), "\r\nLogging ended at "), 1u);
}

TEST_F(LineShapeTest, CutNeverSplitsACharacter) {
  const struct {
    std::string text;
    size_t at, cut;
  } cuts[] = {
      {"a\xc3\xa9z", 2, 1},     {"a\xc3\xa9z", 3, 3},        {"a\xe2\x82\xacz", 3, 1},
      {"a\xe2\x82\xacz", 2, 1}, {"\xf0\x9f\x98\x80z", 3, 0}, {"\xf0\x9f\x98\x80z", 4, 4},
      {"a\xa9\xa9z", 2, 2},     {"a\xc3\xa9\xa9z", 3, 3},    {"ab", 5, 2},
  };
  for (const auto& c : cuts) {
    EXPECT_EQ(qellog::whole_char_cut(c.text.data(), c.text.size(), c.at), c.cut)
        << c.text << " at " << c.at;
  }
  log = open_log(path, 2);
  const std::string e = "\xc3\xa9";
  log->writelog(2, "%s%s", std::string(295, 'a').c_str(), e.c_str());  // fits: 297
  log->writelog(2, "%s%s", std::string(296, 'a').c_str(), e.c_str());  // does not
  log->writelog(2, "%s\r%s", std::string(294, 'a').c_str(), e.c_str());
  log->writelog(2, "%s\xff\xfe", std::string(296, 'a').c_str());  // not UTF-8: bytes
  log->set_maxlinelength(1000);
  log->writelog(2, "%s%s", std::string(999, 'a').c_str(), e.c_str());
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0], std::string(295, 'a') + e);
  EXPECT_EQ(l[1], std::string(296, 'a'));
  EXPECT_EQ(l[2], std::string(294, 'a') + "\\r");
  EXPECT_EQ(l[3], std::string(296, 'a') + "\xff");
  EXPECT_EQ(l[4], std::string(999, 'a'));
}

TEST_F(LineShapeTest, LfLineEnds) {
  {
    CQel_Log lf(path.c_str(), kCreate, 0644, LINEEND_LF);
    EXPECT_EQ(lf.get_lineend(), LINEEND_LF);
    lf.set_logbits(LOGBIT_INTERNAL | 3);
    lf.set_lib_desc("d");
    lf.set_lib_vers("n", "v", "c");
    lf.writelog(2, "a\nb\r\nc");
    lf.writelog(LOGBIT_NOCRLF | 2, "open ");
    lf.writelog(2, "closed");
    lf.writetime();
    lf.create_next_file();
  }
  const std::string text = read_file(path);
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_EQ(shape(text.substr(0, text.find("v created"))),
            shape(path) +
                "\nlogfile continued 99.99.9999 99:99:99\n"
                "QEL Loglib Version: 9,9,9,99 created Dec 99 9999\n\nn Version: ");
  EXPECT_NE(text.find("\n\nLogging ended at "), std::string::npos);
  const std::vector<std::string> rotated = rotated_files(dir.path());
  ASSERT_EQ(rotated.size(), 1u);
  const std::string old = read_file(dir.file(rotated[0]));
  EXPECT_TRUE(qellog::begins_with_header_of(old.data(), old.size(), "app.log"));
  struct tm cal;
  EXPECT_TRUE(qellog::header_time(old.data(), old.size(), &cal));
  const std::vector<std::string> l = split_crlf(old, "\n");
  ASSERT_GE(l.size(), 10u);
  EXPECT_EQ(l[0], "Logfile: " + path);
  EXPECT_EQ(l[4], "n Version: v created c");
  EXPECT_EQ(l[5], "Description: d");
  EXPECT_EQ(l[7], "a\\nb\\r\\nc");
  EXPECT_EQ(l[8], "open closed");
  EXPECT_EQ(shape(l[9]), "99:99.99.999 99.99.9999");
  EXPECT_EQ(old.find('\r'), std::string::npos);
}

TEST_F(LineShapeTest, LfLineEndsFromTheFileTheApiAndAfterALoss) {
  std::vector<std::string> trace;
  log = from_params("Lineend=lf\nLogging=3\n", &trace);
  EXPECT_TRUE(has(trace, "create_log_from_ini: Lineend lf  lf "));
  log->writelog(2, "x");
  log.reset();
  std::string text = read_file(path);
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_NE(text.find("\n\nx\n"), std::string::npos);

  // The API: from the call on; the header came before it.
  text = with_process_log("", [] {
    set_logparam_lineend(LINEEND_LF);
    writelog(2, nullptr, "lf");
    set_logparam_lineend(LINEEND_CRLF);
    writelog(2, nullptr, "crlf");
  });
  EXPECT_NE(text.find("\n00000000 lf\n00000000 crlf\r\n"), std::string::npos) << text;

  // A piece cut short by the file size limit: the next piece starts with a
  // LF, and the record of the loss ends with one.
  const ChildResult r = run_in_child([&] {
    CQel_Log lf(dir.file("short.log").c_str(), kCreate, 0644, LINEEND_LF);
    lf.set_lostlines(true);
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim;
    getrlimit(RLIMIT_FSIZE, &lim);
    const rlimit tight = {lf.get_curfilesize() + 10, lim.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tight);
    lf.writelog(2, "%s", std::string(100, 'c').c_str());
    setrlimit(RLIMIT_FSIZE, &lim);
    lf.writelog(2, "after");
    return lf.get_lostcount() == 1 ? 0 : 1;
  });
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> l = split_crlf(read_file(dir.file("short.log")), "\n");
  ASSERT_GE(l.size(), 7u);
  EXPECT_EQ(l[4], "cccccccccc");
  EXPECT_EQ(l[5].substr(0, 33), "ERROR write_to_file: 1 lines lost");
  EXPECT_EQ(l[6], "after");
  EXPECT_EQ(read_file(dir.file("short.log")).find('\r'), std::string::npos);
}

}  // namespace
