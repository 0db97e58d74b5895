// The file's fixed texts and the rotated-name pattern at fixed inputs.
#include "log/file_format.h"

#include <gtest/gtest.h>

#include <string>

#include "log_test_util.h"

namespace {

using namespace qellog;
using qellog_test::calendar;

template <typename F>
std::string text(F f) {
  char buf[kHeaderCapacity];
  const size_t n = f(buf, sizeof buf);
  return std::string(buf, n);
}

TEST(FileFormat, FixedTextsAtFixedInputs) {
  const struct tm c = calendar(2024, 3, 5, 4, 7, 9);
  EXPECT_EQ(text([&](char* b, size_t n) { return format_start_header(b, n, "/tmp/app.log", c); }),
            "Logfile: /tmp/app.log\r\nLogging started at 05.03.2024 04:07:09 \r\n"
            "QEL Loglib Version: 1,1,0,24 created Dec 15 2022\r\n\r\n");
  EXPECT_EQ(text([&](char* b, size_t n) {
              return format_banner(b, n, {"myhost", "2.3.1", "2024-01-10", ""});
            }),
            "myhost Version: 2.3.1 created 2024-01-10\r\n\r\n");
  EXPECT_EQ(text([&](char* b, size_t n) {
              return format_banner(b, n, {"h", "1", "d", "acquisition"});
            }),
            "h Version: 1 created d\r\nDescription: acquisition\r\n\r\n");
  EXPECT_EQ(text([&](char* b, size_t n) { return format_trailer(b, n, c); }),
            "\r\nLogging ended at 05.03.2024 04:07.09 \r\n"
            "------------------------------------------------------------------------"
            "\r\n\r\n\r\n");
  const std::string cont = text([&](char* b, size_t n) {
    return format_continuation_header(b, n, "/tmp/app.log", c, {"", "", "", ""});
  });
  EXPECT_EQ(cont,
            "/tmp/app.log\r\nlogfile continued 05.03.2024 04:07:09\r\n"
            "QEL Loglib Version: 1,1,0,24 created Dec 15 2022\r\n\r\n"
            " Version:  created \r\n\r\n");
  EXPECT_EQ(cont.size(), 128u);
  EXPECT_EQ(text([&](char* b, size_t n) { return format_time_line(b, n, c, 7); }),
            "04:07.09.007 05.03.2024\r\n");
  char name[kRotatedNameCapacity];
  format_rotated_name(name, sizeof name, "/tmp/app", c, 123, ".log");
  EXPECT_STREQ(name, "/tmp/app_2024_03_05_04_07_09_123.log");
  // A buffer too small for the text: cut, terminated, length within it.
  char small[10];
  EXPECT_EQ(format_start_header(small, sizeof small, "/tmp/app.log", c), 9u);
  EXPECT_STREQ(small, "Logfile: ");
}

TEST(FileFormat, RotatedNamePatternAcceptsOnlyTheLogsOwnNames) {
  RotatedStamp t{};
  ASSERT_TRUE(parse_rotated_name("app_2024_03_05_14_07_09_123.log", "app", ".log", &t));
  EXPECT_EQ(t.key(), 20240305140709123LL);
  EXPECT_TRUE(parse_rotated_name("plain_2024_12_31_23_59_60_999", "plain", "", nullptr));
  for (const char* other : {"app_b.log", "app.log", "app_2024_03_05_14_07_09_123.log.1",
                            "app_2024_03_05_14_07_09_123.log~", ".app_2024_03_05_14_07_09_123.log",
                            "xapp_2024_03_05_14_07_09_123.log", "app_2024_13_05_14_07_09_123.log",
                            "app_2024_03_00_14_07_09_123.log", "app_2024_03_05_24_07_09_123.log",
                            "app_2024_03_05_14_60_09_123.log", "app_2024_03_05_14_07_09_12x.log",
                            "app_2024-03_05_14_07_09_123.log", "app2_2024_03_05_14_07_09_123.log",
                            "app_2024_03_05_14_07_09_123.txt"}) {
    EXPECT_FALSE(parse_rotated_name(other, "app", ".log", nullptr)) << other;
  }

  size_t dir_len = 0;
  char stem[64];
  char ext[16];
  ASSERT_TRUE(split_last_component("logs.d/app.log", &dir_len, stem, sizeof stem, ext, sizeof ext));
  EXPECT_EQ(dir_len, 7u);
  EXPECT_STREQ(stem, "app");
  EXPECT_STREQ(ext, ".log");
  ASSERT_TRUE(split_last_component("x.d/app", &dir_len, stem, sizeof stem, ext, sizeof ext));
  EXPECT_EQ(dir_len, 4u);
  EXPECT_STREQ(stem, "app");
  EXPECT_STREQ(ext, "");
  ASSERT_TRUE(
      split_last_component("run.averyverylongtail", &dir_len, stem, sizeof stem, ext, sizeof ext));
  EXPECT_STREQ(stem, "run.averyverylongtail");
  EXPECT_STREQ(ext, "");

  const std::string start = "Logfile: /var/log/app.log\r\nLogging started at ...";
  const std::string cont = "app.log\r\nlogfile continued 05.03.2024 04:07:09\r\n";
  EXPECT_TRUE(begins_with_header_of(start.data(), start.size(), "app.log"));
  EXPECT_TRUE(begins_with_header_of(cont.data(), cont.size(), "app.log"));
  EXPECT_FALSE(begins_with_header_of(start.data(), start.size(), "other.log"));
  EXPECT_FALSE(begins_with_header_of("Logfile: /x/app.log", 19, "app.log"));  // no CR LF
  const std::string foreign = "/x/app.log\r\nsomething else\r\n";
  EXPECT_FALSE(begins_with_header_of(foreign.data(), foreign.size(), "app.log"));
}

}  // namespace
