// The parameter file as the configuration reader parses it: every key
// listed with every value given and the one the set-up reads, and the files
// it refuses to read.
#include "config/param_doc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "config/param_file.h"
#include "test_util.h"

using namespace qellog_test;

// Found by argument-dependent lookup, for the comparisons below.
namespace qellog {

bool operator==(const ParamKey& a, const ParamKey& b) {
  return a.section == b.section && a.key == b.key && a.values == b.values &&
         a.in_force == b.in_force;
}

std::ostream& operator<<(std::ostream& os, const ParamKey& k) {
  os << "[" << k.section << "] " << k.key << " =";
  for (const std::string& v : k.values) os << " '" << v << "'";
  return os << " -> '" << k.in_force << "'";
}

}  // namespace qellog

namespace {

TEST(ParamDocTest, ListsEveryKeyAndTheValueTheSetupReads) {
  TempDir dir;
  const std::string path = dir.file("p.ini");
  write_file(path, std::string("Logging = 1\n[logging]\nLogname = a.log\nLOGNAME = b.log\n"
                               "Maxfilesize = 8Mb ; eight MiB\n[GENERAL]\ngeneral = 1\n"
                               "[LOGGING]\nlogname = c.log\n") +
                       std::string(1, '\0') + "\nLogname = hidden.log\n");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);  // others may not write it, whatever the umask
  std::vector<qellog::ParamKey> keys;
  ASSERT_EQ(qellog::list_param_keys(path.c_str(), &keys), 0);
  const std::vector<qellog::ParamKey> expected = {
      {"", "Logging", {"1"}, "1"},
      {"logging", "Logname", {"a.log", "b.log", "c.log"}, "c.log"},
      {"logging", "Maxfilesize", {"8Mb ; eight MiB"}, "8Mb ; eight MiB"},
      {"GENERAL", "general", {"1"}, "1"},
  };
  EXPECT_EQ(keys, expected);

  CSimpleIniA doc;
  ASSERT_GE(qellog::load_param_file(doc, path.c_str()), 0);
  EXPECT_STREQ(doc.GetValue("LOGGING", "Logname", nullptr), "c.log")
      << "the set-up's own document agrees";
}

TEST(ParamDocTest, RefusesWhatIsNotARegularFileOfAtMostTheLimit) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0755), 0);
  write_file(dir.file("limit"), "[LOGGING]\n");
  ASSERT_EQ(chmod(dir.file("limit").c_str(), 0644), 0);
  ASSERT_EQ(truncate(dir.file("limit").c_str(), qellog::kMaxParamFileBytes), 0);
  write_file(dir.file("over"), "[LOGGING]\n");
  ASSERT_EQ(truncate(dir.file("over").c_str(), qellog::kMaxParamFileBytes + 1), 0);
  const std::pair<std::string, int> cases[] = {
      {"missing", ENOENT}, {"fifo", EINVAL}, {"dir", EINVAL}, {"limit", 0}, {"over", EFBIG},
  };
  for (const auto& [name, err] : cases) {
    std::vector<qellog::ParamKey> keys;
    EXPECT_EQ(qellog::list_param_keys(dir.file(name).c_str(), &keys), err) << name;
    CSimpleIniA doc;
    EXPECT_EQ(qellog::load_param_file(doc, dir.file(name).c_str()) >= 0, err == 0) << name;
  }
}

}  // namespace
