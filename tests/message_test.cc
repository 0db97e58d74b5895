// Message lines: the filter, the tag, the prefix fields, the elapsed time,
// CR LF and NEWLINE, the line capacity, and time-stamp lines.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "log/calendar.h"
#include "log/line.h"
#include "log/line_format.h"
#include "log/log_state.h"
#include "log/lost_lines.h"
#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

class MessageTest : public LogTest {
 protected:
  MessageTest() { log = open_log(path); }
  // Writes one line whose reference time lies `gap_us` before the present,
  // and returns the elapsed field it printed together with the exact gap
  // between the reference and the line's own clock reading.
  std::string elapsed_field(long long gap_us, long long* exact_gap_us) {
    log->set_logbits(LOGBIT_DELTA | 3);
    timeval now;
    gettimeofday(&now, nullptr);
    const long long ref = now.tv_sec * 1000000LL + now.tv_usec - gap_us;
    log->last_time.tv_sec = ref / 1000000;
    log->last_time.tv_usec = ref % 1000000;
    log->writelog(2, "x");
    const timeval t = log->cur_time;
    *exact_gap_us = t.tv_sec * 1000000LL + t.tv_usec - ref;
    const std::string line = last_line();
    return line.substr(0, line.find("ms ") + 2);
  }
};

void vformat_via_log(CQel_Log& log, unsigned flags, int value, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  log.writelog(flags, value, fmt, args);
  va_end(args);
}

void vwrite_no_value(CQel_Log& log, unsigned flags, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  log.writelog(flags, fmt, args);
  va_end(args);
}

TEST_F(MessageTest, FilterAndErrorTag) {
  log->writelog(0, "zero flag");       // counts as the error class
  log->writelog(2, "trace");           // no tag
  log->writelog(3, "both");            // tag
  log->writelog(0x80, "other class");  // not in the mask: dropped
  log->set_logbits(2);
  log->writelog(0, "zero dropped");
  log->writelog(0x1000002, "newline bit is a class bit here");
  log->set_logbits(0x1000);
  log->writelog(0x1000, "prefix bit admits");  // the filter is a plain AND
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0], "ERROR zero flag");
  EXPECT_EQ(l[1], "trace");
  EXPECT_EQ(l[2], "ERROR both");
  EXPECT_EQ(l[3], "newline bit is a class bit here");
  EXPECT_EQ(l[4].substr(13), "prefix bit admits");
  EXPECT_EQ(log->get_msgcount(), 6u);  // header + five lines
}

TEST_F(MessageTest, ValueFieldAndOverloads) {
  log->writelog(2, -1, "minus %d", 1);
  log->writelog(1, 0, "zero");
  vformat_via_log(*log, 2, 0x1234abcd, "va %s", "list");
  vwrite_no_value(*log, 2, "va %d no value", 7);
  EXPECT_EQ(lines(), (std::vector<std::string>{"ffffffff minus 1", "00000000 ERROR zero",
                                               "1234abcd va list", "va 7 no value"}));
}

TEST_F(MessageTest, AllPrefixFieldsMatchTheLineClock) {
  log->set_logbits(LOGBIT_TIME | LOGBIT_DELTA | LOGBIT_PID_TID | LOGBIT_CPU | 3);
  const timeval before = log->last_time;
  log->writelog(1, 5, "%s: fname buffer to short", "get_default_logname");
  const timeval t = log->cur_time;
  EXPECT_EQ(log->last_time.tv_sec, t.tv_sec);
  EXPECT_EQ(log->last_time.tv_usec, t.tv_usec);
  const struct tm c = local_tm(t);
  long long gap = (t.tv_sec - before.tv_sec) * 1000000LL + (t.tv_usec - before.tv_usec);
  char expected[256];
  std::snprintf(expected, sizeof expected, "%02d:%02d:%02d.%03d %06lld.%03lldms %05d:%05d ",
                c.tm_hour, c.tm_min, c.tm_sec, static_cast<int>(t.tv_usec / 1000), gap / 1000,
                gap % 1000, getpid(), static_cast<int>(syscall(SYS_gettid)));
  const std::string line = last_line();
  ASSERT_EQ(line.substr(0, std::strlen(expected)), expected) << line;
  // The processor field: two digits at least, then the value and the tag.
  const std::string rest = line.substr(std::strlen(expected));
  const size_t blank = rest.find(' ');
  ASSERT_NE(blank, std::string::npos);
  const int cpu = std::stoi(rest.substr(0, blank));
  EXPECT_GE(cpu, 0);
  EXPECT_GE(blank, 2u);
  EXPECT_EQ(rest.substr(blank + 1), "00000005 ERROR get_default_logname: fname buffer to short");
}

TEST_F(MessageTest, PidFieldFollowsFork) {
  log->set_logbits(LOGBIT_PID_TID | 3);
  log->writelog(2, "parent");
  const ChildResult child = run_in_child([&] {
    log->writelog(2, "child");
    char expected[64];
    std::snprintf(expected, sizeof expected, "%05d:%05d child", getpid(), getpid());
    return last_line() == expected ? 0 : 1;
  });
  EXPECT_EQ(child.status, 0) << read_file(path);
  char parent[64];
  std::snprintf(parent, sizeof parent, "%05d:%05d parent", getpid(),
                static_cast<int>(syscall(SYS_gettid)));
  EXPECT_EQ(lines()[0], parent);
}

std::string elapsed_text(long long gap_us) {
  const timeval last{1700000000, 500000};
  const long long now_us = last.tv_sec * 1000000LL + last.tv_usec + gap_us;
  const timeval now{now_us / 1000000, now_us % 1000000};
  int ms = 0;
  int us = 0;
  qellog::elapsed_parts(now, last, &ms, &us);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%06d.%03dms", ms, us);
  return buf;
}

TEST(ElapsedParts, WrapsAndSigns) {
  EXPECT_EQ(elapsed_text(999), "000000.999ms");
  EXPECT_EQ(elapsed_text(1234567), "001234.567ms");
  EXPECT_EQ(elapsed_text(1234500000LL), "234500.000ms");
  EXPECT_EQ(elapsed_text(1000000000LL), "000000.000ms");  // wraps every 1000 s
  // 2^31 ms and more: computed in 64 bits, still modulo 1,000,000 ms.
  EXPECT_EQ(elapsed_text((2147483648LL + 5) * 1000), "483653.000ms");
  EXPECT_EQ(elapsed_text(40LL * 24 * 3600 * 1000000 + 123456789), "123456.789ms");
  // A clock set back prints a minus sign.
  EXPECT_EQ(elapsed_text(-5000), "-00005.000ms");
  EXPECT_EQ(elapsed_text(-1), "-00001.999ms");
}

TEST_F(MessageTest, ElapsedFieldOfWrittenLines) {
  for (long long gap : {0LL, 999LL, 1234567LL, 1000000000LL, 2147483653000LL, -5000LL}) {
    long long exact = 0;
    const std::string field = elapsed_field(gap, &exact);
    const long long ms = (exact >= 0 ? exact / 1000 : -((-exact + 999) / 1000)) % 1000000;
    const long long rest = ((exact % 1000) + 1000) % 1000;
    char expected[32];
    std::snprintf(expected, sizeof expected, "%06lld.%03lldms", ms, rest);
    EXPECT_EQ(field, expected) << "gap " << gap;
  }
}

TEST_F(MessageTest, ElapsedReferenceMovesOnlyWithPassingLines) {
  log->set_logbits(3);
  log->writelog(2, "written");
  const timeval ref = log->last_time;
  log->cur_time = timeval{1, 0};
  log->writelog(0x80, "dropped");
  EXPECT_EQ(log->last_time.tv_usec, ref.tv_usec);
  EXPECT_EQ(log->last_time.tv_sec, ref.tv_sec);
  EXPECT_GE(log->cur_time.tv_sec, ref.tv_sec);  // the clock was read all the same
  // A line without a file still moves the reference.
  CQel_Log closed("", kCreate, 0644);
  closed.set_logbits(3);
  closed.last_time = timeval{1, 0};
  closed.writelog(2, "nowhere");
  EXPECT_GT(closed.last_time.tv_sec, 1);
  EXPECT_EQ(closed.get_msgcount(), 0u);
}

TEST_F(MessageTest, NewlineFlagWritesOnlyToStdout) {
  log->set_logbits(0);
  const timeval cur = log->cur_time;
  const timeval last = log->last_time;
  const unsigned count = log->get_msgcount();
  ::testing::internal::CaptureStdout();
  log->writelog(LOGBIT_NEWLINE, "ignored %s", "text");
  std::fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\n");
  EXPECT_EQ(log->cur_time.tv_usec, cur.tv_usec);
  EXPECT_EQ(log->last_time.tv_usec, last.tv_usec);
  EXPECT_EQ(log->get_msgcount(), count);
  EXPECT_TRUE(lines().empty());
}

TEST_F(MessageTest, NoCrLfJoinsLines) {
  log->set_logbits(2);
  log->writelog(0x400002, "first ");
  log->writelog(2, "second");
  EXPECT_EQ(lines(), std::vector<std::string>{"first second"});
}

TEST_F(MessageTest, ZeroMaskSilencesLinesAndTimeStamps) {
  log->set_logbits(0);
  log->writelog(0xffffffff & ~LOGBIT_NEWLINE, "nothing");
  log->writetime();
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(log->get_msgcount(), 1u);
}

TEST_F(MessageTest, TimeStampLine) {
  log->set_logbits(0x80000000);  // any class: no filter applies
  log->writetime();
  const timeval t = log->last_time;
  const struct tm c = local_tm(t);
  char expected[64];
  std::snprintf(expected, sizeof expected, "%02d:%02d.%02d.%03d %02d.%02d.%04d", c.tm_hour,
                c.tm_min, c.tm_sec, static_cast<int>(t.tv_usec / 1000), c.tm_mday, c.tm_mon + 1,
                c.tm_year + 1900);
  EXPECT_EQ(last_line(), expected);
  EXPECT_EQ(std::strlen(expected) + 2, 25u);
  EXPECT_EQ(log->get_msgcount(), 2u);
  // The next line's elapsed time counts from the time stamp.
  log->set_logbits(LOGBIT_DELTA | 2);
  log->writelog(2, "after");
  const timeval n = log->cur_time;
  long long gap = (n.tv_sec - t.tv_sec) * 1000000LL + (n.tv_usec - t.tv_usec);
  char field[32];
  std::snprintf(field, sizeof field, "%06lld.%03lldms after", gap / 1000, gap % 1000);
  EXPECT_EQ(last_line(), field);
}

TEST_F(MessageTest, LongTextIsCutToTheLineCapacity) {
  const std::string huge(1000, 'y');
  log->set_logbits(LOGBIT_TIME | LOGBIT_DELTA | LOGBIT_PID_TID | LOGBIT_CPU | 3);
  log->writelog(1, -1, "%s", huge.c_str());
  log->set_logbits(2);
  log->writelog(2, "%s", huge.c_str());
  log->writelog(0x400002, "%s", huge.c_str());
  log->writelog(2, "next");
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0].size(), 297u);
  EXPECT_EQ(l[0].substr(l[0].size() - 10), std::string(10, 'y'));
  EXPECT_EQ(l[1], std::string(297, 'y'));
  EXPECT_EQ(l[2], std::string(297, 'y') + "next");
  EXPECT_EQ(log->get_msgcount(), 5u);
}

TEST_F(MessageTest, NullFormatWritesAnEmptyMessage) {
  log->writelog(2, static_cast<const char*>(nullptr));
  log->writelog(2, 7, static_cast<const char*>(nullptr));
  EXPECT_EQ(lines(), (std::vector<std::string>{"", "00000007 "}));
}

// A line is text: a NUL that the format produces ends it. A zone change
// that the host makes with tzset() reaches the very next line, even
// within the same second.
TEST_F(MessageTest, NulEndsTheTextAndTheTimeFieldFollowsTzset) {
  const char nul = '\0';  // a literal 0 would pick the va_list overload
  log->writelog(2, "ab%cde", nul);
  log->writelog(2, "%s", "whole");
  EXPECT_EQ(read_file(path).substr(read_file(path).size() - 11), "ab\r\nwhole\r\n");

  log->set_logbits(LOGBIT_TIME | 3);
  timeval now;
  do gettimeofday(&now, nullptr);
  while (now.tv_usec > 500000);  // room in this second
  log->writelog(2, "utc");
  const std::string utc = last_line();
  setenv("TZ", "XYZ-5", 1);  // five hours east of UTC
  tzset();
  log->writelog(2, "east");
  const std::string east = last_line();
  setenv("TZ", "UTC0", 1);
  tzset();
  const int h_utc = std::stoi(utc.substr(0, 2));
  const int h_east = std::stoi(east.substr(0, 2));
  EXPECT_EQ(h_east, (h_utc + 5) % 24) << utc << " / " << east;
  EXPECT_EQ(utc.substr(2, 6), east.substr(2, 6)) << "minutes and seconds differ";
}

// The prefix formatter, field by field and zone by zone, at one fixed
// clock reading: 2026-12-09 16:14:07.427 UTC, the previous line 12.345678 s
// before it.
TEST(PrefixFormat, FieldsAndZonesByTable) {
  constexpr unsigned kAll = LOGBIT_TIME | LOGBIT_DELTA | LOGBIT_PID_TID | LOGBIT_CPU;
  struct Case {
    const char* tz;
    unsigned bits;
    bool dated;
    bool error_and_value;
    const char* expected;
  };
  const Case cases[] = {
      {"UTC0", LOGBIT_TIME, false, false, "16:14:07.427 "},
      {"CET-1", LOGBIT_TIME, false, false, "17:14:07.427 "},
      {"UTC0", LOGBIT_TIME, true, false, "2026-12-09T16:14:07.427+00:00 "},
      {"CET-1", LOGBIT_TIME, true, false, "2026-12-09T17:14:07.427+01:00 "},
      {"NST+3:30", LOGBIT_TIME, true, false, "2026-12-09T12:44:07.427-03:30 "},
      {"XYZ-14", LOGBIT_TIME, true, false, "2026-12-10T06:14:07.427+14:00 "},
      {"UTC0", kAll, false, true, "16:14:07.427 012345.678ms 01234:01240 03 0000002a ERROR "},
      {"CET-1", kAll, true, true,
       "2026-12-09T17:14:07.427+01:00 012345.678ms 01234:01240 03 0000002a ERROR "},
      {"CET-1", kAll & ~LOGBIT_TIME, true, false, "012345.678ms 01234:01240 03 "},
      {"UTC0", 0, true, true, "0000002a ERROR "},
  };
  for (const Case& c : cases) {
    ScopedEnv tz("TZ", c.tz);
    qellog::renew_time_zone();
    qellog::LineFields f =
        qellog::line_fields(c.bits, c.dated, c.error_and_value, c.error_and_value, 42);
    f.now = {1796832847, 427000};
    f.last = {1796832835, 81322};
    f.pid = 1234;
    f.tid = 1240;
    f.cpu_no = 3;
    qellog::local_calendar(f.now.tv_sec, &f.cal);
    char buf[qellog::kLineCapacity];
    const size_t n = qellog::format_prefix(f, buf, qellog::kLineTextMax);
    EXPECT_EQ(std::string(buf, n), c.expected) << c.tz << " bits " << c.bits;
  }
  qellog::renew_time_zone();
}

// The dated field is the log's setting: its lines and its lost-line record
// carry it, and its time-stamp lines stay as they are.
TEST_F(MessageTest, IsotimeDatesLinesAndTheLostLineRecord) {
  EXPECT_FALSE(log->get_isotime());
  log->set_logbits(LOGBIT_TIME | 3);
  log->set_isotime(true);
  EXPECT_TRUE(log->get_isotime());
  log->writelog(2, "dated");
  log->writetime();
  const std::vector<std::string> l = lines();
  ASSERT_GE(l.size(), 2u);
  const std::string dated = l[l.size() - 2];
  EXPECT_EQ(shape(dated), "9999-99-99T99:99:99.999+99:99 dated") << dated;
  EXPECT_EQ(shape(l.back()), "99:99.99.999 99.99.9999") << l.back();

  qellog::LogState& s = qellog::LogAccess::state(*log);
  s.pending_lost = 2;
  s.first_lost = {1796832847, 427000};
  s.last_error = 28;
  char rec[qellog::kLineCapacity + 2];
  const size_t n = qellog::format_record(*log, s, rec, sizeof rec);
  EXPECT_EQ(shape(std::string(rec, n)),
            "9999-99-99T99:99:99.999+99:99 ERROR write_to_file: 9 lines lost since "
            "99.99.9999 99:99:99.999, last error 99\r\n");
  s.pending_lost = 0;
}

}  // namespace
