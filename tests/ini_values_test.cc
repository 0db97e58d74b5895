// How the configuration reader reads value texts, and its key table.
#include "config/ini_values.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "config/ini_keys.h"
#include "config/param_doc.h"

namespace {

TEST(IniValuesTest, NumbersTellTheirBaseAndWhereReadingStopped) {
  const struct {
    const char* text;
    unsigned long value;
    int base;
    bool has_digits;
    const char* rest;
  } cases[] = {
      {"0644", 0644, 8, true, ""},
      {"644", 644, 10, true, ""},
      {"0x1a4", 0644, 16, true, ""},
      {"1k", 1, 10, true, "k"},
      {"ten", 0, 10, false, "ten"},
      {"", 0, 10, false, ""},
      {"-1", ULONG_MAX, 10, true, ""},
      {"0x", 0, 8, true, "x"},
      {"100 ; a remark", 100, 10, true, " ; a remark"},
  };
  for (const auto& c : cases) {
    const qellog::NumberReading r = qellog::read_number(c.text);
    EXPECT_EQ(r.value, c.value) << c.text;
    EXPECT_EQ(r.base, c.base) << c.text;
    EXPECT_EQ(r.has_digits, c.has_digits) << c.text;
    EXPECT_STREQ(r.rest, c.rest) << c.text;
  }
  EXPECT_EQ(qellog::read_word("-1"), 0xffffffffu);
}

TEST(IniValuesTest, SizesTakeTheFirstUnitFoundAnywhere) {
  const struct {
    const char* text;
    unsigned long bytes;
    const char* unit;  // null: none found
    long unit_at;
  } cases[] = {
      {"8Mb", 8UL << 20, "Mb", 1},
      {"8Mb ; eight MiB", 8388608, "Mb", 1},
      {"10kb", 10240, "kb", 2},
      {"2MB", 2, nullptr, -1},
      {"64KB", 64, nullptr, -1},
      {"1048576", 1048576, nullptr, -1},
      {"1kb or 1Mb", 1UL << 20, "Mb", 8},
      {"8 ; kb", 8192, "kb", 4},
      {"ten Mb", 0, "Mb", 4},
  };
  for (const auto& c : cases) {
    const qellog::SizeReading r = qellog::read_size(c.text);
    EXPECT_EQ(r.bytes, c.bytes) << c.text;
    if (c.unit == nullptr) {
      EXPECT_EQ(r.unit, nullptr) << c.text;
      continue;
    }
    ASSERT_NE(r.unit, nullptr) << c.text;
    EXPECT_STREQ(r.unit->text, c.unit) << c.text;
    EXPECT_EQ(r.unit_at - c.text, c.unit_at) << c.text;
  }
}

TEST(IniValuesTest, SwitchesPeriodsAndOpenFlags) {
  const struct {
    const char* text;
    bool on;
    int shown;
    const char* word;  // null: read as a number
    long word_at;
  } switches[] = {
      {"yes", true, 1, "yes", 0},     {"no", false, 0, "no", 0},      {"Yes", false, 0, nullptr, 0},
      {"1", true, 1, nullptr, 0},     {"2", false, 2, nullptr, 0},    {"none", false, 0, "no", 0},
      {"no, yes", true, 1, "yes", 4}, {"true", false, 0, nullptr, 0},
  };
  for (const auto& c : switches) {
    const qellog::SwitchReading r = qellog::read_switch(c.text);
    EXPECT_EQ(r.on, c.on) << c.text;
    EXPECT_EQ(r.shown, c.shown) << c.text;
    if (c.word == nullptr) {
      EXPECT_EQ(r.word, nullptr) << c.text;
    } else {
      ASSERT_NE(r.word, nullptr) << c.text;
      EXPECT_STREQ(r.word, c.word) << c.text;
      EXPECT_EQ(r.word_at - c.text, c.word_at) << c.text;
    }
  }
  EXPECT_EQ(qellog::read_period("daily"), ROTATETIME_DAILY);
  EXPECT_EQ(qellog::read_period("hourly"), ROTATETIME_HOURLY);
  EXPECT_EQ(qellog::read_period("Daily"), ROTATETIME_NONE);
  EXPECT_EQ(qellog::read_period("daily ; at midnight"), ROTATETIME_NONE);
  EXPECT_EQ(qellog::period_word(ROTATETIME_NONE), nullptr);
  const std::pair<const char*, int> flags[] = {{"O_CREAT|O_TRUNC", 0x241},
                                               {"creat", 0x41},
                                               {"trunc", 0x201},
                                               {"O_RDWR", 1},
                                               {"append", 1},
                                               {"truncate, then Create", 0x241}};
  for (const auto& [text, expected] : flags) {
    EXPECT_EQ(qellog::read_open_flags(text), expected) << text;
  }
}

// The table is matched as the parser matches names, and applied with the
// flush thread last, so that the thread finds every setting in force.
TEST(IniValuesTest, KeyTableMatchesNamesAsTheParserAndEndsWithTheThread) {
  EXPECT_EQ(qellog::find_log_key("LOGPATH"), qellog::find_log_key(qellog::kDirectoryKey));
  EXPECT_EQ(qellog::find_log_key("flushthread"), qellog::find_log_key(qellog::kThreadKey));
  EXPECT_EQ(qellog::find_log_key("Logpth"), nullptr);
  EXPECT_EQ(qellog::find_log_key("general"), nullptr);
  const qellog::IniKey& last = qellog::kLogKeys[qellog::kLogKeyCount - 1];
  EXPECT_STREQ(last.name, qellog::kThreadKey);
  size_t file_keys = 0;
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const qellog::IniKey& key = qellog::kLogKeys[i];
    EXPECT_EQ(key.apply == nullptr, key.in_force == nullptr) << key.name;
    if (key.apply == nullptr) ++file_keys;
    for (size_t j = 0; j < i; ++j) {
      EXPECT_FALSE(qellog::same_ini_name(key.name, qellog::kLogKeys[j].name)) << key.name;
    }
  }
  EXPECT_EQ(file_keys, 4u);
  EXPECT_TRUE(qellog::same_ini_name("LOGGING", "logging"));
  EXPECT_FALSE(qellog::same_ini_name("LOGGING", "LOGGNG"));
}

}  // namespace
