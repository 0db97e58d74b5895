// How lines look, opt-in: named classes, long lines, texts that cannot end
// a line, cuts between whole characters, LF line ends; through the log
// class, the parameter file and the process-wide API.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "log/file_format.h"
#include "log/line_text.h"
#include "log_test_util.h"
#include "qellog/api.h"
#include "qellog/ini.h"

using namespace qellog_test;

namespace {

class LineShapeTest : public LogTest {
 protected:
  LineShapeTest() { log = open_log(path, 0xff); }
  // The log the set-up builds from [LOGGING] + `more`, and the reader's
  // trace lines without their value field.
  std::unique_ptr<CQel_Log> from_params(const std::string& more, std::vector<std::string>* trace) {
    ScopedEnv home("HOME", dir.path().c_str());
    write_param_file(dir.path(), "app", log_params(dir.path(), "p.log", more));
    CQel_Log diag(dir.file("trace.log").c_str(), kCreate, 0644);
    CQel_ini ini("app");
    ini.set_ini_log(&diag);
    std::unique_ptr<CQel_Log> made(ini.create_log_from_ini());
    for (const std::string& l : body_lines(dir.file("trace.log"))) trace->push_back(l.substr(9));
    return made;
  }
};

TEST_F(LineShapeTest, NamedClasses) {
  ASSERT_TRUE(log->set_classname(0x4, "WARN"));
  ASSERT_TRUE(log->set_classname(0x8, "DEBUG_2"));
  ASSERT_TRUE(log->set_classname(0x2, "INFO"));
  ASSERT_TRUE(log->set_classname(0x10, "GONE"));
  ASSERT_TRUE(log->set_classname(0x10, nullptr));
  const std::pair<unsigned, const char*> refused[] = {
      {0x1, "FATAL"}, {0x6, "BOTH"}, {0x4, "warn"}, {0x4, "ERROR"},
      {0x4, ""},      {0, "ZERO"},   {0x4, "W-1"},  {0x4, "A234567890123456"}};
  for (const auto& r : refused) EXPECT_FALSE(log->set_classname(r.first, r.second)) << r.second;
  EXPECT_STREQ(log->get_classname(0x4), "WARN");
  EXPECT_EQ(log->get_classname(0x10), nullptr);
  const unsigned flags[] = {0x4, 0x5, 0xc, 0x8, 0x10, 0, 0x6};
  for (unsigned f : flags) log->writelog(f, "w");
  log->writelog(0x4, 42, "v");
  EXPECT_EQ(lines(), (std::vector<std::string>{"WARN w", "ERROR WARN w", "WARN w", "DEBUG_2 w", "w",
                                               "ERROR w", "INFO w", "0000002a WARN v"}));
  // Names change while another thread writes: a whole name or none.
  std::thread renamer([&] {
    for (int i = 0; i < 300; ++i) log->set_classname(0x40, i % 3 == 0 ? nullptr : "NAME_X");
  });
  for (int i = 0; i < 600; ++i) log->writelog(0x40, "r");
  renamer.join();
  const std::vector<std::string> l = lines();
  EXPECT_EQ(std::count(l.begin(), l.end(), "r") + std::count(l.begin(), l.end(), "NAME_X r"), 600);
}

TEST_F(LineShapeTest, WholeLongMessages) {
  const std::string url = "https://example.net/" + std::string(460, 'u');
  log->writelog(2, "%s", url.c_str());
  EXPECT_EQ(last_line(), url.substr(0, 297));  // the default cut
  log->set_maxlinelength(4096);
  const unsigned before = log->get_msgcount();
  log->writelog(2, 0x2a, "%s", url.c_str());
  EXPECT_EQ(log->get_msgcount(), before + 1);  // one piece
  EXPECT_EQ(last_line(), "0000002a " + url);
  log->writetext(2, url.data(), url.size());
  EXPECT_EQ(last_line(), url);
  log->writelog(2, "%s%c%s", url.c_str(), '\0', "after the NUL");
  EXPECT_EQ(last_line(), url);
  log->set_maxlinelength(300);
  log->writelog(2, "%s", url.c_str());
  EXPECT_EQ(last_line(), url.substr(0, 300));
  log->set_maxlinelength(10);
  EXPECT_EQ(log->get_maxlinelength(), 297u);
  log->set_maxlinelength(1ul << 20);
  const std::string huge(70000, 'h');
  log->writelog(2, "%s", huge.c_str());
  EXPECT_EQ(last_line(), huge.substr(0, 65536));
}

TEST_F(LineShapeTest, TextNeverForgesALine) {
  log->writelog(2, "user %s", "x\r\nLogging ended at 05.03.2024 18:30.02 ");
  log->writelog(2, "lone\nLF");
  log->set_lib_desc("d\r\n\r\n");
  log->set_lib_vers("n\r\nLogfile: /x", "v\r", "c");
  log->write_to_file("raw\r\n", 5);
  log->writelog(2, "%s\r", std::string(296, 'a').c_str());  // 296 + "\r" > 297
  log.reset();
  const std::vector<std::string> l = lines();
  ASSERT_GE(l.size(), 7u);
  EXPECT_EQ(
      std::vector<std::string>(l.begin(), l.begin() + 7),
      (std::vector<std::string>{"user x\\r\nLogging ended at 05.03.2024 18:30.02 ", "lone\nLF",
                                "n\\r\nLogfile: /x Version: v\\r created c",
                                "Description: d\\r\n\\r\n", "", "raw", std::string(296, 'a')}));
  EXPECT_EQ(count_of(read_file(path), "\r\nLogging ended at "), 1u);  // the trailer's only
}

TEST_F(LineShapeTest, CutNeverSplitsACharacter) {
  const struct {
    std::string text;
    size_t at, cut;
  } cuts[] = {{"a\xc3\xa9z", 2, 1},     {"a\xc3\xa9z", 3, 3},        {"a\xe2\x82\xacz", 3, 1},
              {"a\xe2\x82\xacz", 2, 1}, {"\xf0\x9f\x98\x80z", 3, 0}, {"\xf0\x9f\x98\x80z", 4, 4},
              {"a\xa9\xa9z", 2, 2},     {"a\xc3\xa9\xa9z", 3, 3},    {"ab", 5, 2}};
  for (const auto& c : cuts) {
    EXPECT_EQ(qellog::whole_char_cut(c.text.data(), c.text.size(), c.at), c.cut) << c.text;
  }
  const std::string e = "\xc3\xa9", a294(294, 'a');
  log->writelog(2, "%s%s", (a294 + "a").c_str(), e.c_str());   // 297: fits
  log->writelog(2, "%s%s", (a294 + "aa").c_str(), e.c_str());  // does not
  log->writelog(2, "%s\r%s", a294.c_str(), e.c_str());         // after an escape
  log->writelog(2, "%s\xff\xfe", (a294 + "aa").c_str());       // not UTF-8: bytes
  log->set_maxlinelength(1000);
  log->writelog(2, "%s%s", std::string(999, 'a').c_str(), e.c_str());  // the heap line
  EXPECT_EQ(lines(), (std::vector<std::string>{a294 + "a" + e, a294 + "aa", a294 + "\\r",
                                               a294 + "aa\xff", std::string(999, 'a')}));
}

TEST_F(LineShapeTest, LfLineEnds) {
  {
    CQel_Log lf(dir.file("lf.log").c_str(), kCreate, 0644, LINEEND_LF);
    lf.set_logbits(LOGBIT_INTERNAL | 3);
    lf.set_lib_desc("d");
    lf.set_lib_vers("n", "v", "c");
    lf.writelog(2, "a\nb\r\nc");
    lf.writelog(LOGBIT_NOCRLF | 2, "open ");
    lf.writelog(2, "closed");
    lf.writetime();
    lf.create_next_file();
  }
  // Readers take the LF headers: the continuation header of the live file
  // and the start header of the rotated one.
  const std::string live = read_file(dir.file("lf.log"));
  EXPECT_TRUE(qellog::begins_with_header_of(live.data(), live.size(), "lf.log")) << live;
  EXPECT_NE(live.find("\n\nLogging ended at "), std::string::npos);
  const std::vector<std::string> rotated = rotated_files(dir.path(), "lf");
  ASSERT_EQ(rotated.size(), 1u);
  const std::string old = read_file(dir.file(rotated[0]));
  struct tm cal;
  EXPECT_TRUE(qellog::begins_with_header_of(old.data(), old.size(), "lf.log"));
  EXPECT_TRUE(qellog::header_time(old.data(), old.size(), &cal));
  const std::vector<std::string> l = split_crlf(old, "\n");
  ASSERT_GE(l.size(), 10u);
  EXPECT_EQ(std::vector<std::string>(l.begin() + 4, l.begin() + 9),
            (std::vector<std::string>{"n Version: v created c", "Description: d", "",
                                      "a\\nb\\r\\nc", "open closed"}));
  EXPECT_EQ(shape(l[9]), "99:99.99.999 99.99.9999");
  EXPECT_EQ((live + old).find('\r'), std::string::npos);

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
  const std::string cut = read_file(dir.file("short.log"));
  EXPECT_EQ(cut.find('\r'), std::string::npos);
  EXPECT_NE(cut.find("\n\ncccccccccc\nERROR write_to_file: 1 lines lost since "),
            std::string::npos);
  EXPECT_NE(cut.find(", last error 0\nafter\n"), std::string::npos) << cut;
}

TEST_F(LineShapeTest, ThroughTheParameterFileAndTheApi) {
  std::vector<std::string> trace;
  log = from_params(
      "Logging=0xff\nMaxlinelength=4096\nLineend=lf\n[CLASSES]\nWARN = 0x4\nwarn_x = 0x8\n"
      "ERROR = 0x10\nTWO = 0x6\nNOTE = 0x1 ; the error class\n",
      &trace);
  for (const char* line :
       {"create_log_from_ini: Maxlinelength 4096  4096 ", "create_log_from_ini: Lineend lf  lf ",
        "create_log_from_ini: class WARN bit 0x4",
        "ERROR create_log_from_ini: class warn_x = 0x8 refused: a name is 1 to 15 characters of "
        "A-Z, 0-9 and _",
        "ERROR create_log_from_ini: class ERROR = 0x10 refused: ERROR is the name of bit 0x1",
        "ERROR create_log_from_ini: class TWO = 0x6 refused: not exactly one bit",
        "ERROR create_log_from_ini: class NOTE = 0x1 ; the error class refused: bit 0x1 is the "
        "error class, named ERROR"}) {
    EXPECT_NE(std::find(trace.begin(), trace.end(), line), trace.end()) << line;
  }
  const std::string url(480, 'u');
  log->writelog(0xc, "%s", url.c_str());
  log.reset();
  const std::string made = read_file(dir.file("p.log"));
  EXPECT_EQ(made.find('\r'), std::string::npos) << "the start header too";
  EXPECT_NE(made.find("\nWARN " + url + "\n"), std::string::npos);

  // The API: each setting reaches the process log; the line end applies
  // from the call on.
  write_param_file(dir.path(), "app", log_params(dir.path(), "api.log", "Logging=0xff\n"));
  const ChildResult r = run_in_child([&] {
    setenv("HOME", dir.path().c_str(), 1);
    init_logging("app");
    const bool named =
        set_logparam_classname(0x40, "AUDIT") == 0 && set_logparam_classname(0x40, "audit") == -1;
    set_logparam_maxlinelength(1000);
    set_logparam_lineend(LINEEND_LF);
    writelog(0x40, nullptr, "%s", url.c_str());
    set_logparam_lineend(LINEEND_CRLF);
    writelog(2, nullptr, "crlf");
    exit_logging();
    return named ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(
      read_file(dir.file("api.log")).find("\r\n00000000 AUDIT " + url + "\n00000000 crlf\r\n"),
      std::string::npos);
  EXPECT_EQ(set_logparam_classname(0x40, "AUDIT"), -1) << "no process log here";
}

}  // namespace
