// Building a log from the parameter file, and the two lookups.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/setup_seam.h"
#include "qellog/ini.h"
#include "test_util.h"

using namespace qellog_test;

namespace {

const std::string kOp = "00000000 create_log_from_ini: ";

// "HH:MM:SS.mmm " right before `pos` in `text`.
bool time_field_before(const std::string& text, size_t pos) {
  const std::string shape = "dd:dd:dd.ddd ";
  if (pos == std::string::npos || pos < shape.size()) return false;
  const std::string field = text.substr(pos - shape.size(), shape.size());
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(field[i])) != 0
                                    : field[i] == shape[i];
    if (!ok) return false;
  }
  return true;
}

std::string address(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

class IniSetupTest : public ::testing::Test {
 protected:
  IniSetupTest() : home_env_("HOME", home_.path().c_str()), cwd_(work_.path()), ini_("app") {
    diag_.reset(new CQel_Log(work_.file("diag.log").c_str(), O_WRONLY | O_CREAT, 0644));
    ini_.set_ini_log(diag_.get());
  }

  std::string ini_path() const { return home_.path() + "/.config/qel/app_param.ini"; }
  std::string default_log() const { return home_.path() + "/.qel/qel_logging/app.log"; }

  void write_ini(const std::string& text) { write_param_file(home_.path(), "app", text); }
  // The reader's lines since the last call, each with its value field.
  std::vector<std::string> take_diag() {
    std::vector<std::string> out;
    std::vector<std::string> all = split_crlf(read_file(work_.file("diag.log")));
    for (size_t i = seen_; i < all.size(); ++i) {
      if (all[i].compare(0, 9, "00000000 ") == 0) out.push_back(all[i]);
    }
    seen_ = all.size();
    return out;
  }
  // Builds a log from `ini_text` and keeps it in log_.
  CQel_Log* build(const std::string& ini_text) {
    write_ini(ini_text);
    take_diag();
    log_.reset(ini_.create_log_from_ini());
    return log_.get();
  }
  static bool contains(const std::vector<std::string>& v, const std::string& s) {
    for (const std::string& x : v) {
      if (x == s) return true;
    }
    return false;
  }

  TempDir home_;
  TempDir work_;
  ScopedEnv home_env_;
  ScopedCwd cwd_;
  std::unique_ptr<CQel_Log> diag_;
  CQel_ini ini_;
  std::unique_ptr<CQel_Log> log_;
  size_t seen_ = 0;
};

TEST_F(IniSetupTest, WorkedExampleEndToEnd) {
  ScopedUmask mask(046);
  const std::string dir = work_.file("applogs");
  const std::string file = dir + "/app.log";
  const std::string text = "[LOGGING]\nLogpath = " + dir +
                           "\nLogname = app.log\nLogFileFlags = O_CREAT\n"
                           "LogFilePermission = 0640\nLogging = 0x1003\nFlushcount = 100\n"
                           "Maxfilesize = 8Mb\nFlushthread = yes\n";
  CQel_Log* log = build(text);
  ASSERT_NE(log, nullptr);
  EXPECT_STREQ(log->filename, file.c_str());
  ASSERT_NE(log->get_filehandle(), -1);
  EXPECT_EQ(fcntl(log->get_filehandle(), F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
  EXPECT_EQ(mode_of(dir), 0731u);
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(log->get_logbits(), 0x1003u);
  EXPECT_EQ(log->get_flushcount(), 100u);
  EXPECT_EQ(log->get_maxfilesize(), 8388608u);
  EXPECT_TRUE(log->thread_run.load() && log->flush_thread.joinable());

  const std::vector<std::string> want = {
      kOp + "Load ini file " + ini_path(),
      kOp + "Logpath " + dir,
      kOp + "mkdir(" + dir + ") returned 0",
      kOp + "Logname app.log",
      kOp + "from ini logname is " + file,
      kOp + "LogFileFlags O_CREAT old fileflags 0x1",
      kOp + "fileflags 0x41",
      kOp + "LogFilePermission 0640 old filemode 0644",
      kOp + "filemode 0640",
      kOp + "qellog is " + address(log),
      kOp + "Logging 0x1003 logbits 0x1003 ",
      kOp + "Flushcount 100  100",
      kOp + "Maxfilesize 8Mb  8388608 ",
      kOp + "Flushthread yes ul 1",
  };
  EXPECT_EQ(take_diag(), want);

  // The built log carries the time field and none of the reader's lines.
  log->writelog(LOGBIT_INFO, "first run");
  log_.reset();
  const std::string first = read_file(file);
  EXPECT_TRUE(time_field_before(first, first.find("first run\r\n"))) << first;
  EXPECT_EQ(first.find("create_log_from_ini"), std::string::npos);

  // Second run: the directory exists (no mkdir), the file keeps its content.
  log = build(text);
  ASSERT_NE(log, nullptr);
  const std::vector<std::string> again = take_diag();
  EXPECT_EQ(again.size(), want.size() - 1);
  for (const std::string& l : again) EXPECT_EQ(l.find("mkdir"), std::string::npos) << l;
  log_.reset();
  const std::string second = read_file(file);
  EXPECT_EQ(second.compare(0, first.size(), first), 0);
  EXPECT_NE(second.find("Logfile: " + file, first.size()), std::string::npos);
}

TEST_F(IniSetupTest, LogFileFlagsTable) {
  const std::string file = work_.file("f.log");
  const struct {
    const char* value;
    unsigned flags;
  } cases[] = {{"O_CREAT|O_TRUNC", 0x241},
               {"creat", 0x41},
               {"trunc", 0x201},
               {"O_RDWR", 0x1},
               {"append", 0x1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    write_file(file, "previous\r\n");
    CQel_Log* log = build("[LOGGING]\nLogname = " + file + "\nLogFileFlags = " + c.value + "\n");
    ASSERT_NE(log, nullptr);
    char line[64];
    std::snprintf(line, sizeof line, "fileflags 0x%x", c.flags);
    EXPECT_TRUE(contains(take_diag(), kOp + line));
    ASSERT_NE(log->get_filehandle(), -1);
    // Never opened for reading, whatever the value says.
    EXPECT_EQ(fcntl(log->get_filehandle(), F_GETFL) & O_ACCMODE, O_WRONLY);
    log_.reset();
    EXPECT_EQ(read_file(file).compare(0, 10, "previous\r\n") == 0, (c.flags & O_TRUNC) == 0);
  }
  // Without O_CREAT a missing file is not created and the log has no file.
  unlink(file.c_str());
  CQel_Log* log = build("[LOGGING]\nLogname = " + file + "\nLogFileFlags = O_RDWR\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->get_filehandle(), -1);
  EXPECT_EQ(log->get_logbits(), 0u);
  EXPECT_FALSE(file_exists(file));
}

TEST_F(IniSetupTest, PermissionsAreNumbersInAnyBase) {
  ScopedUmask mask(0);
  const std::string file = work_.file("p.log");
  const struct {
    const char* value;
    const char* shown;
    mode_t mode;
  } cases[] = {{"0640", "0640", 0640}, {"644", "01204", 01204}, {"0x1a4", "0644", 0644}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    unlink(file.c_str());
    CQel_Log* log = build("[LOGGING]\nLogname = " + file +
                          "\nLogFileFlags = creat\nLogFilePermission = " + c.value + "\n");
    ASSERT_NE(log, nullptr);
    const std::vector<std::string> d = take_diag();
    EXPECT_TRUE(contains(d, kOp + "LogFilePermission " + c.value + " old filemode 0644"));
    EXPECT_TRUE(contains(d, kOp + "filemode " + c.shown));
    EXPECT_EQ(mode_of(file), c.mode);
  }
}

TEST_F(IniSetupTest, SettingsLoggingMaxfilesizeAndFlushthread) {
  const std::string head =
      "[LOGGING]\nLogname = " + work_.file("s.log") + "\nLogFileFlags = creat\n";
  const struct {
    const char* value;
    unsigned long size;
    const char* shown;
  } sizes[] = {{"2Mb", 2097152, "2097152"},
               {"10kb", 10240, "10240"},
               {"2MB", 2, "2"},
               {"1048576", 1048576, "1048576"},
               {"1kb 1Mb", 1048576, "1048576"},
               {"4096Mb", 4294967296UL, "0"},
               {"0x100000000000Mb", 0, "0"}};
  for (const auto& c : sizes) {
    SCOPED_TRACE(c.value);
    CQel_Log* log = build(head + "Maxfilesize = " + c.value + "\n");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->get_maxfilesize(), c.size);
    EXPECT_TRUE(contains(take_diag(), kOp + "Maxfilesize " + c.value + "  " + c.shown + " "));
  }

  const struct {
    const char* value;
    bool runs;
    const char* shown;
  } threads[] = {{"yes", true, "1"}, {"1", true, "1"},  {"no", false, "0"}, {"none", false, "0"},
                 {"0", false, "0"},  {"2", false, "2"}, {"Yes", false, "0"}};
  for (const auto& c : threads) {
    SCOPED_TRACE(c.value);
    CQel_Log* log = build(head + "Flushthread = " + c.value + "\n");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->thread_run.load(), c.runs);
    EXPECT_EQ(log->flush_thread.joinable(), c.runs);
    EXPECT_TRUE(contains(take_diag(), kOp + "Flushthread " + c.value + " ul " + c.shown));
  }

  CQel_Log* log = build(head + "Logging = -1\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->get_logbits(), 0xffffffffu);
  EXPECT_TRUE(contains(take_diag(), kOp + "Logging -1 logbits 0xffffffff "));

  log = build(head + "Logging =\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->get_logbits(), 0u);
  EXPECT_TRUE(contains(take_diag(), kOp + "Logging  logbits 0x0 "));
  const unsigned long before = log->get_curfilesize();
  log->writelog(LOGBIT_ERROR, "filtered");
  EXPECT_EQ(log->get_curfilesize(), before);
}

TEST_F(IniSetupTest, RetentionReopenRotatetimeAndTailsafeKeys) {
  const std::string file = work_.file("k.log");
  const std::string head = "[LOGGING]\nLogname = " + file + "\nLogFileFlags = creat\n";
  const std::vector<std::string> common = {
      kOp + "Load ini file " + ini_path(),
      kOp + "Logname " + file,
      kOp + "from ini logname is " + file,
      kOp + "LogFileFlags creat old fileflags 0x1",
      kOp + "fileflags 0x41",
  };

  // Without the keys: no line of theirs, and nothing set.
  CQel_Log* log = build(head + "Flushthread = no\n");
  ASSERT_NE(log, nullptr);
  std::vector<std::string> want = common;
  want.push_back(kOp + "qellog is " + address(log));
  want.push_back(kOp + "Flushthread no ul 0");
  EXPECT_EQ(take_diag(), want);
  EXPECT_EQ(log->get_maxfilecount(), 0u);
  EXPECT_EQ(log->get_maxtotalsize(), 0u);
  EXPECT_EQ(log->get_maxfileage(), 0u);
  EXPECT_FALSE(log->get_lostlines() || log->get_reopen() || log->get_tailsafe() ||
               log->get_isotime());
  EXPECT_EQ(log->get_reopeninterval(), 0u);
  EXPECT_EQ(log->get_rotatetime(), ROTATETIME_NONE);

  // All of them, in the order they are applied, before the flush thread.
  log = build(
      head +
      "Flushthread = yes\nIsotime = yes\nTailsafe = no\nRotatetime = daily\nReopeninterval = 60\n"
      "Reopen = 1\nLostlines = yes\nMaxfileage = 0x1e\nMaxtotalsize = 3Mb\n"
      "Maxfilecount = 7\nMaxfilesize = 1kb\n");
  ASSERT_NE(log, nullptr);
  want = common;
  want.insert(want.end(), {
                              kOp + "qellog is " + address(log),
                              kOp + "Maxfilesize 1kb  1024 ",
                              kOp + "Maxfilecount 7  7 ",
                              kOp + "Maxtotalsize 3Mb  3145728 ",
                              kOp + "Maxfileage 0x1e  30 ",
                              kOp + "Lostlines yes ul 1",
                              kOp + "Reopen 1 ul 1",
                              kOp + "Reopeninterval 60  60 ",
                              kOp + "Rotatetime daily  2 ",
                              kOp + "Tailsafe no ul 0",
                              kOp + "Isotime yes ul 1",
                              kOp + "Flushthread yes ul 1",
                          });
  EXPECT_EQ(take_diag(), want);
  EXPECT_EQ(log->get_maxfilecount(), 7u);
  EXPECT_EQ(log->get_maxtotalsize(), 3145728u);
  EXPECT_EQ(log->get_maxfileage(), 30u);
  EXPECT_TRUE(log->get_lostlines());
  EXPECT_TRUE(log->get_reopen());
  EXPECT_EQ(log->get_reopeninterval(), 60u);
  EXPECT_EQ(log->get_rotatetime(), ROTATETIME_DAILY);
  EXPECT_FALSE(log->get_tailsafe());
  EXPECT_TRUE(log->get_isotime());
  EXPECT_TRUE(log->thread_run.load());

  // Units, switch words and period words read like their older relatives.
  const struct {
    const char* total;
    unsigned long bytes;
    const char* period;
    unsigned rotatetime;
    const char* lost;
    bool lost_on;
    const char* lost_shown;
  } cases[] = {{"10kb", 10240, "hourly", ROTATETIME_HOURLY, "2", false, "2"},
               {"2MB", 2, "Daily", ROTATETIME_NONE, "Yes", false, "0"},
               {"1kb 1Mb", 1048576, "weekly", ROTATETIME_NONE, "none", false, "0"},
               {"0", 0, "daily", ROTATETIME_DAILY, "1", true, "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.total);
    log = build(head + "Maxtotalsize = " + c.total + "\nRotatetime = " + c.period +
                "\nLostlines = " + c.lost + "\nTailsafe = " + c.lost + "\nIsotime = " + c.lost +
                "\nFlushthread = 1\n");
    ASSERT_NE(log, nullptr);
    const std::vector<std::string> d = take_diag();
    EXPECT_TRUE(
        contains(d, kOp + "Maxtotalsize " + c.total + "  " + std::to_string(c.bytes) + " "));
    EXPECT_TRUE(
        contains(d, kOp + "Rotatetime " + c.period + "  " + std::to_string(c.rotatetime) + " "));
    EXPECT_TRUE(contains(d, kOp + "Lostlines " + c.lost + " ul " + c.lost_shown));
    EXPECT_TRUE(contains(d, kOp + "Tailsafe " + c.lost + " ul " + c.lost_shown));
    EXPECT_EQ(log->get_maxtotalsize(), c.bytes);
    EXPECT_EQ(log->get_rotatetime(), c.rotatetime);
    EXPECT_EQ(log->get_lostlines(), c.lost_on);
    EXPECT_EQ(log->get_tailsafe(), c.lost_on);
    EXPECT_EQ(log->get_isotime(), c.lost_on);
  }
}

TEST_F(IniSetupTest, ReopenAndRotatetimeWithoutFlushThreadAreReported) {
  const std::string head =
      "[LOGGING]\nLogname = " + work_.file("t.log") + "\nLogFileFlags = creat\n";
  const std::string need = kOp + "Reopen and Rotatetime need Flushthread=yes, ignored";
  const struct {
    const char* keys;
    const char* thread_line;  // the Flushthread line, or empty without the key
    bool reported;
  } cases[] = {
      {"Reopen = yes\n", "", true},
      {"Rotatetime = hourly\nFlushthread = no\n", "Flushthread no ul 0", true},
      {"Reopeninterval = 5\nFlushthread = 2\n", "Flushthread 2 ul 2", true},
      {"Reopen = yes\nFlushthread = yes\n", "Flushthread yes ul 1", false},
      {"Reopen = no\nReopeninterval = 0\nRotatetime = weekly\n", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    ASSERT_NE(build(head + c.keys), nullptr);
    std::vector<std::string> d = take_diag();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back() == need, c.reported);
    if (c.reported) d.pop_back();
    EXPECT_FALSE(contains(d, need));
    if (*c.thread_line != '\0') {
      EXPECT_EQ(d.back(), kOp + c.thread_line);
    }
  }
}

TEST_F(IniSetupTest, SectionAndKeyNamesIgnoreCase) {
  const std::string file = work_.file("c.log");
  CQel_Log* log = build("[logging]\nlogname = " + file + "\nLOGFILEFLAGS = creat\nlOgGiNg = 7\n");
  ASSERT_NE(log, nullptr);
  EXPECT_STREQ(log->filename, file.c_str());
  EXPECT_NE(log->get_filehandle(), -1);
  EXPECT_EQ(log->get_logbits(), 7u);
}

TEST_F(IniSetupTest, LogpathDirectoryCases) {
  const std::string existing = work_.file("existing");
  mkdir(existing.c_str(), 0755);
  write_file(work_.file("plain"), "x");
  const std::string qel = home_.path() + "/.qel";
  mkdir(qel.c_str(), 0755);
  mkdir((qel + "/qel_logging").c_str(), 0755);

  // Existing directory: no mkdir; without Logname the base name is used.
  CQel_Log* log = build("[LOGGING]\nLogpath = " + existing + "\nLogFileFlags = creat\n");
  ASSERT_NE(log, nullptr);
  EXPECT_STREQ(log->filename, (existing + "/app.log").c_str());
  EXPECT_NE(log->get_filehandle(), -1);
  for (const std::string& l : take_diag()) EXPECT_EQ(l.find("mkdir"), std::string::npos) << l;

  // mkdir fails (missing parent, or a regular file): the path is cleared.
  for (const std::string& bad : {work_.file("no/such"), work_.file("plain")}) {
    SCOPED_TRACE(bad);
    log = build("[LOGGING]\nLogpath = " + bad + "\nLogFileFlags = creat\n");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(std::string(log->filename), default_log());
    const std::vector<std::string> want = {
        kOp + "Load ini file " + ini_path(),
        kOp + "Logpath " + bad,
        kOp + "mkdir(" + bad + ") returned -1",
        kOp + "LogFileFlags creat old fileflags 0x1",
        kOp + "fileflags 0x41",
        kOp + "get_default_logname is " + default_log(),
        kOp + "default logname is " + default_log(),
        kOp + "qellog is " + address(log),
    };
    EXPECT_EQ(take_diag(), want);
  }

  // A Logname without a usable directory: relative names go into the
  // default log directory, absolute ones are used as they are.
  log = build("[LOGGING]\nLogpath = " + work_.file("no/such") +
              "\nLogname = rel.log\n"
              "LogFileFlags = creat\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->filename), qel + "/qel_logging/rel.log");
  EXPECT_NE(log->get_filehandle(), -1);
  log = build("[LOGGING]\nLogname = " + work_.file("abs.log") + "\nLogFileFlags = creat\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->filename), work_.file("abs.log"));
  {
    ScopedEnv empty("HOME", "");
    CQel_ini relative("app");
    write_file(work_.file("app_param.ini"),
               "[LOGGING]\nLogname = here.log\nLogFileFlags = creat\n");
    chmod(work_.file("app_param.ini").c_str(), 0644);
    log_.reset(relative.create_log_from_ini());
    ASSERT_NE(log_, nullptr);
    EXPECT_STREQ(log_->filename, "./here.log");
    EXPECT_TRUE(file_exists(work_.file("here.log")));
  }
}

TEST_F(IniSetupTest, OverlongPathsAreRefusedAndFallBack) {
  // A real directory of more than 1000 characters, built one level at a time.
  std::string deep = work_.path();
  while (deep.size() < 1000) {
    deep += "/" + std::string(std::min<size_t>(200, 1000 - deep.size()), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  const std::string qel = home_.path() + "/.qel";
  mkdir(qel.c_str(), 0755);
  mkdir((qel + "/qel_logging").c_str(), 0755);

  // 1023 characters fit the log path (mkdir then fails: no such parent);
  // 1024 are refused before any directory work.
  const std::string fits_dir = "/" + std::string(1022, 'x');
  CQel_Log* log = build("[LOGGING]\nLogpath = " + fits_dir + "\nLogFileFlags = creat\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->filename), default_log());
  std::vector<std::string> d = take_diag();
  ASSERT_GE(d.size(), 3u);
  EXPECT_EQ(d[2].compare(0, kOp.size() + 7, kOp + "mkdir(/"), 0) << d[2];
  for (const std::string& l : d) EXPECT_EQ(l.find("ERROR"), std::string::npos) << l;

  log = build("[LOGGING]\nLogpath = " + fits_dir + "x\nLogFileFlags = creat\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->filename), default_log());
  d = take_diag();
  EXPECT_TRUE(contains(
      d, "00000000 ERROR create_log_from_ini: Logpath too long (1024 characters), ignored"));
  for (const std::string& l : d) EXPECT_EQ(l.find("mkdir"), std::string::npos) << l;

  // Directory + Logname too long: the Logname is dropped, the base name used.
  const std::string name(40, 'n');
  log = build("[LOGGING]\nLogpath = " + deep + "\nLogname = " + name + "\nLogFileFlags = creat\n");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->filename), deep + "/app.log");
  EXPECT_NE(log->get_filehandle(), -1);
  const std::string n = std::to_string(deep.size() + 1 + name.size());
  EXPECT_TRUE(
      contains(take_diag(), "00000000 ERROR create_log_from_ini: Logpath + Logname too long (" + n +
                                " characters), Logname ignored"));

  // ... and when the base name does not fit either, the default name.
  const std::string base(30, 'b');
  CQel_ini long_base(base.c_str());
  long_base.set_ini_log(diag_.get());
  write_param_file(home_.path(), base, "[LOGGING]\nLogpath = " + deep + "\nLogFileFlags = creat\n");
  take_diag();
  log_.reset(long_base.create_log_from_ini());
  ASSERT_NE(log_, nullptr);
  EXPECT_EQ(std::string(log_->filename), qel + "/qel_logging/" + base + ".log");
  EXPECT_TRUE(
      contains(take_diag(), "00000000 ERROR create_log_from_ini: Logpath + log name too long (" +
                                std::to_string(deep.size() + 1 + base.size() + 4) +
                                " characters), Logpath ignored"));
}

// What a seam that only watches sees: one step per file-system action,
// and the trace as text.
std::vector<std::string>* g_steps = nullptr;

std::string octal(unsigned mode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0%o", mode);
  return buf;
}

// The walk to a missing directory that the set-up asks to create.
int watch_directory(const char* path, qellog::DirWalk* walk, int* dir_fd) {
  g_steps->push_back((walk->create_last ? "mkdir " : "walk ") + std::string(path) + " " +
                     octal(walk->mkdir_mode));
  walk->mkdir_result = 0;
  *dir_fd = -1;
  return 0;
}

int watch_probe(const char* path, int flags, unsigned mode) {
  char buf[32];
  std::snprintf(buf, sizeof buf, " 0x%x ", static_cast<unsigned>(flags));
  g_steps->push_back("probe " + std::string(path) + buf + octal(mode));
  errno = ENOENT;
  return -1;
}

CQel_Log* watch_log(const char* path, int flags, unsigned mode, unsigned, qellog::PathRule rule,
                    int, size_t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, " 0x%x ", static_cast<unsigned>(flags));
  g_steps->push_back("log " + std::string(path) + buf + octal(mode) + " " +
                     qellog::path_rule_text(rule));
  return new CQel_Log("/dev/null", O_WRONLY, 0);
}

void watch_trace(unsigned flags, const char* text) {
  g_steps->push_back("trace " + std::to_string(flags) + " " + text);
}

// Every step of the set-up that touches the file system goes through the
// seam, with the rule that chose the path; its trace reaches the seam as
// the same lines that ini_log receives. With such a seam nothing is made.
TEST_F(IniSetupTest, SeamTakesEveryFileSystemStepAndTheTrace) {
  const std::string dir = work_.file("new");
  const std::string in_default = home_.path() + "/.qel/qel_logging/r.log";
  const struct {
    std::string text;
    std::vector<std::string> steps;
  } cases[] = {
      {"[LOGGING]\nLogpath=" + dir + "\nLogname=a.log\nLogFileFlags=O_CREAT|O_TRUNC\n",
       {"mkdir " + dir + " 0775", "log " + dir + "/a.log 0x241 0644 Logpath + Logname"}},
      {"[LOGGING]\nLogpath=" + dir + "\n",
       {"mkdir " + dir + " 0775", "log " + dir + "/app.log 0x1 0644 Logpath + the base name"}},
      {"[LOGGING]\nLogname=/abs/x.log\nLogFilePermission=0600\n",
       {"log /abs/x.log 0x1 0600 Logname, an absolute path"}},
      {"[LOGGING]\nLogname=r.log\n",
       {"log " + in_default + " 0x1 0644 Logname in the default log directory"}},
      {"[LOGGING]\nLogFileFlags=trunc\n",
       {"probe " + default_log() + " 0x201 0644",
        "log " + default_log() + " 0x201 0644 the default name"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> steps;
    g_steps = &steps;
    CQel_Log* log;
    {
      ScopedSeam<qellog::SetupSeam> watched(qellog::g_setup_seam,
                                            {watch_directory, watch_probe, watch_log, watch_trace});
      log = build(c.text);
    }
    ASSERT_NE(log, nullptr);
    std::vector<std::string> actions, traced;
    for (const std::string& step : steps) {
      if (step.compare(0, 8, "trace 2 ") == 0) {
        traced.push_back("00000000 " + step.substr(8));
      } else {
        actions.push_back(step);
      }
    }
    EXPECT_EQ(actions, c.steps);
    EXPECT_EQ(traced, take_diag());
  }
  EXPECT_EQ(list_dir(work_.path()), std::vector<std::string>{"diag.log"});
  EXPECT_FALSE(file_exists(home_.path() + "/.qel"));
}

TEST_F(IniSetupTest, MissingAndEmptyParameterFile) {
  EXPECT_EQ(ini_.create_log_from_ini(), nullptr);
  const std::vector<std::string> missing = {
      kOp + "Load ini file " + ini_path(),
      kOp + "loading file " + ini_path() + " failed -3",
  };
  EXPECT_EQ(take_diag(), missing);

  // Empty, or without [LOGGING]: the default name with O_WRONLY and 0644;
  // the test open fails while the file does not exist, also when its
  // directory does, and creates nothing.
  for (const char* text : {"", "[OTHER]\nLogname = x.log\n"}) {
    SCOPED_TRACE(text);
    if (*text != '\0') {
      EXPECT_FALSE(file_exists(home_.path() + "/.qel"));
      mkdir((home_.path() + "/.qel").c_str(), 0755);
      mkdir((home_.path() + "/.qel/qel_logging").c_str(), 0755);
    }
    CQel_Log* log = build(text);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(std::string(log->filename), default_log());
    EXPECT_EQ(log->get_filehandle(), -1);
    const std::vector<std::string> want = {
        kOp + "Load ini file " + ini_path(), kOp + "get_default_logname is " + default_log(),
        kOp + "open default failed ",        kOp + "default logname is " + default_log(),
        kOp + "qellog is " + address(log),
    };
    EXPECT_EQ(take_diag(), want);
  }
  EXPECT_FALSE(file_exists(default_log()));

  // An existing default file is opened and keeps its content.
  write_file(default_log(), "kept\r\n");
  CQel_Log* log = build("");
  ASSERT_NE(log, nullptr);
  EXPECT_NE(log->get_filehandle(), -1);
  EXPECT_FALSE(contains(take_diag(), kOp + "open default failed "));
  log_.reset();
  EXPECT_EQ(read_file(default_log()).compare(0, 6, "kept\r\n"), 0);
}

TEST_F(IniSetupTest, ParamLookup) {
  write_ini("[General]\nlevel = 0x20\ntext = abc\nwide = 0x1ffffffff\n");
  unsigned v = 99;
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", "LEVEL", v), INI_SUCCESS);
  EXPECT_EQ(v, 0x20u);
  EXPECT_EQ(ini_.get_param_from_ini("general", "text", v), INI_SUCCESS);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", "wide", v), INI_SUCCESS);
  EXPECT_EQ(v, 0xffffffffu);
  v = 5;
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", "absent", v), INI_ERR_NOT_FOUND);
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", nullptr, v), INI_ERR_NOT_FOUND);
  EXPECT_EQ(ini_.get_param_from_ini(nullptr, "level", v), INI_ERR_NOT_FOUND);
  EXPECT_EQ(v, 5u);
  // Every call reads the file as it is now.
  write_ini("[GENERAL]\nlevel = 010\n");
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", "level", v), INI_SUCCESS);
  EXPECT_EQ(v, 8u);
  const std::string op = "00000000 get_param_from_ini: ";
  const std::vector<std::string> want = {
      op + "[GENERAL] 0x20 value 0x20 ",
      op + "[general] abc value 0x0 ",
      op + "[GENERAL] 0x1ffffffff value 0xffffffff ",
      op + "[GENERAL] absent not found ",
      op + "[GENERAL] (null) not found ",
      op + "[(null)] level not found ",
      op + "[GENERAL] 010 value 0x8 ",
  };
  EXPECT_EQ(take_diag(), want);

  unlink(ini_path().c_str());
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", "level", v), INI_ERR_LOAD_FILE);
  EXPECT_EQ(take_diag(),
            std::vector<std::string>{op + "loading file " + ini_path() + " failed -3"});
  EXPECT_EQ(v, 8u);
}

TEST_F(IniSetupTest, GeneralBitsLookup) {
  const std::string op = "00000000 get_general_bits_from_ini: ";
  unsigned bits = 7;
  EXPECT_EQ(ini_.get_general_bits_from_ini(bits), INI_ERR_LOAD_FILE);
  write_ini("[GENERAL]\nother = 1\n");
  EXPECT_EQ(ini_.get_general_bits_from_ini(bits), INI_ERR_NOT_FOUND);
  EXPECT_EQ(bits, 7u);
  write_ini("[general]\nGeneral = 0x5\n");
  EXPECT_EQ(ini_.get_general_bits_from_ini(bits), INI_SUCCESS);
  EXPECT_EQ(bits, 5u);
  const std::vector<std::string> want = {
      op + "loading file " + ini_path() + " failed -3",
      op + "[GENERAL] general not found ",
      op + "[GENERAL] 0x5 general_bits 0x5 ",
  };
  EXPECT_EQ(take_diag(), want);
}

TEST_F(IniSetupTest, UnformableParameterFileName) {
  const std::string home = "/" + std::string(1000, 'h');
  ScopedEnv env("HOME", home.c_str());
  unsigned v = 3;
  EXPECT_EQ(ini_.create_log_from_ini(), nullptr);
  EXPECT_EQ(ini_.get_param_from_ini("GENERAL", "level", v), INI_ERR_BUFFER_TOO_SHORT);
  EXPECT_EQ(ini_.get_general_bits_from_ini(v), INI_ERR_BUFFER_TOO_SHORT);
  EXPECT_EQ(v, 3u);
  // Only create_log_from_ini reports it, as an error.
  EXPECT_EQ(take_diag(),
            std::vector<std::string>{
                "00000000 ERROR create_log_from_ini: get_ini_filename failed 0xa00a3006"});
}

}  // namespace
