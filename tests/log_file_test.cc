// The log object: construction, name split, headers, banner, trailer, the
// write primitive and its accounting, the stopwatch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "log/line_format.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

using LogFileTest = LogTest;

TEST_F(LogFileTest, ConstructionWritesStartHeaderAndSetsCounters) {
  log = open_log(path);
  ASSERT_GE(log->get_filehandle(), 0);
  const std::string header = expected_header(Header::kStart, path, local_tm(log->last_time));
  EXPECT_EQ(read_file(path), header);
  EXPECT_EQ(header.size(), 104 + path.size());
  EXPECT_EQ(log->get_msgcount(), 1u);
  EXPECT_EQ(log->get_curfilesize(), 104 + path.size());
  EXPECT_EQ(log->get_logbits(), 3u);
  EXPECT_EQ(log->get_flushcount(), 1000u);
  EXPECT_EQ(log->get_maxfilesize(), 0x400000ul);
  EXPECT_EQ(log->cur_time.tv_sec, log->last_time.tv_sec);
  EXPECT_EQ(log->cur_time.tv_usec, log->last_time.tv_usec);
  EXPECT_EQ(log->mess_start.tv_sec, 0);
  EXPECT_FALSE(log->thread_run.load());
  EXPECT_FALSE(log->flush_thread.joinable());
  for (const char* field : {log->lib_name, log->lib_vers, log->lib_created, log->lib_desc}) {
    EXPECT_STREQ(field, "");
  }
  // Every write is an atomic append, whatever flags the caller gave.
  EXPECT_NE(fcntl(log->get_filehandle(), F_GETFL) & O_APPEND, 0);
}

TEST_F(LogFileTest, HeaderUsesLocalTimeZone) {
  ScopedEnv east("TZ", "XYZ-5");  // five hours east of UTC, no daylight saving
  log = open_log(path);
  struct tm utc;
  time_t sec = log->last_time.tv_sec;
  gmtime_r(&sec, &utc);
  const std::string text = read_file(path);
  char hour[8];
  std::snprintf(hour, sizeof hour, " %02d:", (utc.tm_hour + 5) % 24);
  EXPECT_NE(text.find(std::string("Logging started at ")), std::string::npos);
  EXPECT_NE(text.find(hour), std::string::npos) << text;
}

TEST_F(LogFileTest, NameSplit) {
  struct Case {
    std::string name, base, ext;
  };
  const std::string d = dir.path();
  const Case cases[] = {
      {d + "/run.trace.log", d + "/run.trace", ".log"}, {d + "/noext", d + "/noext", ""},
      {d + "/x.123456789", d + "/x", ".123456789"},    // tail of 10: split
      {d + "/x.1234567890", d + "/x.1234567890", ""},  // tail of 11: kept
      {d + "/log.d/app", d + "/log", ".d/app"},        // '.' in a directory counts
  };
  for (const Case& c : cases) {
    log = open_log(c.name);
    EXPECT_STREQ(log->filename, c.name.c_str());
    EXPECT_STREQ(log->filename_base, c.base.c_str()) << c.name;
    EXPECT_STREQ(log->extension, c.ext.c_str()) << c.name;
  }
  {
    ScopedCwd cwd(dir.path());
    CQel_Log dotonly(".log", kCreate, 0644);
    EXPECT_STREQ(dotonly.filename_base, "");
    EXPECT_STREQ(dotonly.extension, ".log");
    CQel_Log defaulted(nullptr, kCreate, 0644);
    EXPECT_STREQ(defaulted.filename, "qel_log.log");
    EXPECT_STREQ(defaulted.filename_base, "qel_log");
    EXPECT_STREQ(defaulted.extension, ".log");
    EXPECT_GE(defaulted.get_filehandle(), 0);
  }
  EXPECT_TRUE(file_exists(dir.file("qel_log.log")));
}

TEST_F(LogFileTest, FailedOpenLeavesAQuietObject) {
  for (const char* name : {"", "/nonexistent_dir_qellog/x.log"}) {
    log = std::make_unique<CQel_Log>(name, kCreate, 0644);
    EXPECT_EQ(log->get_filehandle(), -1);
    EXPECT_EQ(log->get_logbits(), 0u);
    EXPECT_EQ(log->get_msgcount(), 0u);
    log->set_logbits(3);
    log->writelog(1, "nothing");
    log->set_lib_vers("host", "1.0", "today");
    EXPECT_STREQ(log->lib_name, "host");  // stored all the same
    log->flushlog();
    EXPECT_EQ(log->get_msgcount(), 0u);
    EXPECT_EQ(log->get_curfilesize(), 0u);
  }
  // Opening without O_CREAT does not create the file.
  const std::string missing = dir.file("missing.log");
  { CQel_Log without_create(missing.c_str(), O_WRONLY, 0644); }
  EXPECT_FALSE(file_exists(missing));
}

TEST_F(LogFileTest, NamesThatDoNotFitAreRefusedNotCut) {
  // A path of exactly 1023 characters fits and opens; 1024 and more do not.
  std::string deep = dir.path();
  while (deep.size() < 1023 - 210) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  std::string fits = deep + "/";
  fits += std::string(1023 - fits.size(), 'f');
  ASSERT_EQ(fits.size(), 1023u);
  {
    CQel_Log longest(fits.c_str(), kCreate, 0644);
    EXPECT_GE(longest.get_filehandle(), 0);
    EXPECT_STREQ(longest.filename, fits.c_str());
  }
  EXPECT_TRUE(file_exists(fits));
  for (size_t len : {1024u, 1500u}) {
    std::string name = deep + "/";
    name += std::string(len - name.size(), 'g');
    CQel_Log too_long(name.c_str(), kCreate, 0644);
    EXPECT_EQ(too_long.get_filehandle(), -1) << len;
    EXPECT_EQ(too_long.get_logbits(), 0u);
    EXPECT_EQ(std::strlen(too_long.filename), 1023u);
    EXPECT_EQ(std::strlen(too_long.filename_base), 1023u);
    EXPECT_FALSE(file_exists(name.substr(0, 1023)));
  }
}

TEST_F(LogFileTest, VersionBanner) {
  log = open_log(path);
  log->set_lib_desc("acquisition service");
  log->set_lib_vers("myhost", "2.3.1", "2024-01-10");
  EXPECT_EQ(log->get_msgcount(), 2u);
  log->set_lib_desc("changed later");  // the banner already written stays
  log->set_lib_vers("a-name-of-25-characters!!", nullptr, nullptr);
  log.reset();
  const std::vector<std::string> l = lines();
  ASSERT_GE(l.size(), 6u);
  EXPECT_EQ(l[0], "myhost Version: 2.3.1 created 2024-01-10");
  EXPECT_EQ(l[1], "Description: acquisition service");
  EXPECT_EQ(l[2], "");
  EXPECT_EQ(l[3], "a-name-of-25-charac Version:  created ");
  EXPECT_EQ(l[4], "Description: changed later");
  EXPECT_EQ(l[5], "");

  const std::string plain = dir.file("c.log");
  {
    CQel_Log bare(plain.c_str(), kCreate, 0644);
    bare.set_lib_desc(nullptr);
    bare.set_lib_vers("h", "1", "d");
    EXPECT_EQ(bare.get_curfilesize(), 104 + plain.size() + 26);
  }
  const std::vector<std::string> p = body_lines(plain);
  ASSERT_GE(p.size(), 2u);
  EXPECT_EQ(p[0], "h Version: 1 created d");
  EXPECT_EQ(p[1], "");  // no description line
}

TEST_F(LogFileTest, VersionTextsAreCutToTheirFields) {
  log = open_log(path);
  const std::string longer(300, 'x');
  log->set_lib_desc(longer.c_str());
  log->set_lib_vers(longer.c_str(), longer.c_str(), longer.c_str());
  EXPECT_EQ(std::strlen(log->lib_name), 19u);
  EXPECT_EQ(std::strlen(log->lib_vers), 39u);
  EXPECT_EQ(std::strlen(log->lib_created), 19u);
  EXPECT_EQ(std::strlen(log->lib_desc), 99u);
}

TEST_F(LogFileTest, TrailerIsByteExact) {
  log = open_log(path);
  const size_t before = read_file(path).size();
  timeval around;
  gettimeofday(&around, nullptr);
  log.reset();
  const std::string text = read_file(path);
  const std::string trailer = text.substr(before);
  ASSERT_EQ(trailer.size(), 119u) << trailer;
  const struct tm c = local_tm(around);
  char head[64];
  std::snprintf(head, sizeof head, "\r\nLogging ended at %02d.%02d.%04d ", c.tm_mday, c.tm_mon + 1,
                c.tm_year + 1900);
  EXPECT_EQ(trailer.substr(0, std::strlen(head)), head);
  // HH:MM.SS with a full stop before the seconds, then a blank, CR LF, the
  // rule and three line ends.
  EXPECT_TRUE(ends_with_trailer(trailer)) << trailer;
}

TEST_F(LogFileTest, WriteFailureIsReportedAndNotCounted) {
  ::testing::internal::CaptureStderr();
  log = std::make_unique<CQel_Log>("/dev/full", O_WRONLY, 0);
  EXPECT_GE(log->get_filehandle(), 0);
  EXPECT_EQ(log->get_msgcount(), 0u);
  EXPECT_EQ(log->get_curfilesize(), 0u);
  log->writelog(1, "lost");
  log->write_to_file("xyz", 3);
  EXPECT_EQ(log->get_msgcount(), 0u);
  EXPECT_EQ(log->get_curfilesize(), 0u);
  log.reset();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string one = "Error in write to logfile /dev/full: 28\n";
  // Header, the line, the raw write and the trailer: one line each.
  EXPECT_EQ(err, one + one + one + one);
}

TEST_F(LogFileTest, WritePrimitiveCountsBytesAndWrites) {
  log = open_log(path);
  const unsigned long start = log->get_curfilesize();
  log->write_to_file("abc", 3);
  log->write_to_file("defgh", 5);
  EXPECT_EQ(log->get_msgcount(), 3u);
  EXPECT_EQ(log->get_curfilesize(), start + 8);
  EXPECT_EQ(read_file(path).substr(start), "abcdefgh");
  // Bytes already in the file when it was opened are not counted.
  CQel_Log again(path.c_str(), O_WRONLY, 0644);
  EXPECT_EQ(again.get_curfilesize(), 104 + path.size());
}

TEST_F(LogFileTest, ExistingContentIsKeptAndAppendedTo) {
  write_file(path, "old content\r\n");
  { CQel_Log appended(path.c_str(), O_WRONLY, 0644); }
  const std::string text = read_file(path);
  EXPECT_EQ(text.substr(0, 13), "old content\r\n");
  EXPECT_NE(text.find("Logging ended at"), std::string::npos);
}

TEST_F(LogFileTest, Stopwatch) {
  CQel_Log watch(dir.file("s.log").c_str(), kCreate, 0644);
  // Without a start it measures from the epoch.
  timeval now;
  gettimeofday(&now, nullptr);
  const double since_epoch = watch.stop_time_mess();
  EXPECT_NEAR(since_epoch, qellog::stopwatch_ms({0, 0}, now), 1000.0);
  // The arithmetic, a borrow from the seconds included.
  const struct {
    timeval start, stop;
    double ms;
  } readings[] = {{{1, 999999}, {3, 0}, 1000.001},
                  {{5, 0}, {5, 250}, 0.25},
                  {{7, 500000}, {7, 499000}, -1.0},
                  {{0, 0}, {1700000000, 123456}, 1700000000123.456}};
  for (const auto& r : readings) {
    EXPECT_DOUBLE_EQ(qellog::stopwatch_ms(r.start, r.stop), r.ms) << r.ms;
  }
  watch.mess_start.tv_sec = now.tv_sec - 2;
  watch.mess_start.tv_usec = 999999;
  EXPECT_GT(watch.stop_time_mess(), 1000.0);
  watch.start_time_mess();
  usleep(20000);
  const double slept = watch.stop_time_mess();
  EXPECT_GE(slept, 20.0);
  EXPECT_LT(slept, 2000.0);
}

}  // namespace
