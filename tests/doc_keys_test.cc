// The parameter file's names are documented where callers and users look:
// every key of the set-up's table, the [CLASSES] section and the variable
// QELLOG_CONFIG_DIR in qellog/ini.h and in docs/configuration.md's tables,
// so that a key added to the table without its documentation fails here.
#include <gtest/gtest.h>

#include <string>

#include "config/ini_keys.h"
#include "config/ini_names.h"
#include "test_util.h"

using namespace qellog_test;

namespace {

const std::string kSource = QELLOG_SOURCE_DIR;

TEST(DocKeysTest, EveryNameOfTheSetupIsInTheHeaderAndTheReference) {
  const std::string header = read_file(kSource + "/include/qellog/ini.h");
  const std::string api = read_file(kSource + "/include/qellog/api.h");
  const std::string reference = read_file(kSource + "/docs/configuration.md");
  ASSERT_FALSE(header.empty());
  ASSERT_FALSE(reference.empty());
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const std::string key = qellog::kLogKeys[i].name;
    EXPECT_NE(header.find("//   " + key + " "), std::string::npos)
        << key << " is not in the key list of ini.h";
    EXPECT_NE(reference.find("| `" + key + "` |"), std::string::npos)
        << key << " has no row in docs/configuration.md";
  }
  const std::string classes = std::string("[") + qellog::kClassSection + "]";
  EXPECT_NE(header.find(classes), std::string::npos);
  EXPECT_NE(reference.find("| key in `" + classes + "` |"), std::string::npos);
  for (const std::string* text : {&header, &api, &reference}) {
    EXPECT_NE(text->find(qellog::kConfigDirVariable), std::string::npos);
  }
}

}  // namespace
