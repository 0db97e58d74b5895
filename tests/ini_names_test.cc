// The configuration reader's base name, home text and file names.
#include "config/ini_names.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/param_file.h"
#include "qellog/ini.h"
#include "test_util.h"

using qellog::compose_file_name;
using qellog::NameStatus;
using namespace qellog_test;

namespace {

using NameOp = unsigned (CQel_ini::*)(char*, int);

struct OpCase {
  const char* label;
  NameOp op;
  size_t fixed;        // length of dir + suffix
  const char* suffix;  // of the relative form
  bool reports;        // writes diagnostics on failure
};

const OpCase kOps[] = {
    {"get_ini_filename", &CQel_ini::get_ini_filename, 13 + 10, "_param.ini", false},
    {"get_reg_filename", &CQel_ini::get_reg_filename, 13 + 8, "_reg.ini", true},
    {"get_default_logname", &CQel_ini::get_default_logname, 18 + 4, ".log", true},
};

class IniNamesTest : public ::testing::Test {
 protected:
  IniNamesTest() : home_env_("HOME", home_.path().c_str()), cwd_(work_.path()) {}

  // A diagnostic log with the default mask 3, attached to `ini`.
  void attach(CQel_ini& ini) {
    diag_.reset();
    diag_.reset(new CQel_Log(work_.file("diag.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ini.set_ini_log(diag_.get());
  }
  // The reader's lines; each begins with the value field "00000000 ".
  std::vector<std::string> diag_lines() {
    std::vector<std::string> out;
    for (const std::string& l : split_crlf(read_file(work_.file("diag.log")))) {
      if (l.compare(0, 9, "00000000 ") == 0) out.push_back(l);
    }
    return out;
  }

  TempDir home_;
  TempDir work_;
  ScopedEnv home_env_;
  ScopedCwd cwd_;
  std::unique_ptr<CQel_Log> diag_;
};

TEST(ComposeFileName, FormsAndLengthLimit) {
  char buf[1024];
  ASSERT_EQ(compose_file_name("/h", "/d/", "app", ".x", buf, sizeof buf), NameStatus::kOk);
  EXPECT_STREQ(buf, "/h/d/app.x");
  ASSERT_EQ(compose_file_name("", "/d/", "app", ".x", buf, sizeof buf), NameStatus::kOk);
  EXPECT_STREQ(buf, "./app.x");

  // The limit applies to the sum of all four parts, also in the relative
  // form, which leaves out home and dir: 1021 passes, 1022 does not.
  const std::string name(1021 - 3 - 2, 'n');
  ASSERT_EQ(compose_file_name("", "/d/", name.c_str(), ".x", buf, sizeof buf), NameStatus::kOk);
  EXPECT_EQ(std::strlen(buf), 2 + name.size() + 2);
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(compose_file_name("", "/d/", (name + "n").c_str(), ".x", buf, sizeof buf),
            NameStatus::kTooLong);
  EXPECT_EQ(compose_file_name("/h", "/d/", "app", ".x", buf, 10), NameStatus::kBufferTooShort);
  EXPECT_EQ(buf[0], '#') << "buffer written on failure";
}

TEST(CQelIniConstructor, BaseNameIsCutAndTerminated) {
  const std::string n189(189, 'a');
  const std::string n190 = n189 + "b";
  const std::string n400(400, 'c');
  EXPECT_STREQ(CQel_ini(n189.c_str()).name, n189.c_str());
  EXPECT_STREQ(CQel_ini(n190.c_str()).name, n189.c_str());
  CQel_ini longer(n400.c_str());
  EXPECT_EQ(std::string(longer.name), std::string(189, 'c'));
  for (size_t i = 189; i < sizeof longer.name; ++i) ASSERT_EQ(longer.name[i], '\0') << i;

  CQel_ini none(nullptr);
  EXPECT_STREQ(none.name, "");
  EXPECT_EQ(none.ini_log, nullptr);
  EXPECT_STREQ(none.config_dir, "/.config/qel/");
  EXPECT_STREQ(none.param_suffix, "_param.ini");
  EXPECT_STREQ(none.reg_suffix, "_reg.ini");
}

TEST_F(IniNamesTest, NamesUnderHomeEmptyHomeAndChangedHome) {
  CQel_ini ini("app");
  const std::string h = home_.path();
  char buf[1024];
  ASSERT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), h + "/.config/qel/app_param.ini");
  ASSERT_EQ(ini.get_reg_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), h + "/.config/qel/app_reg.ini");
  ASSERT_EQ(ini.get_default_logname(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), h + "/.qel/qel_logging/app.log");
  EXPECT_TRUE(list_dir(h).empty()) << "composing a name must not create anything";

  CQel_ini unnamed("");
  ASSERT_EQ(unnamed.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), h + "/.config/qel/_param.ini");

  // HOME is read at every call; set but empty selects the relative form.
  ScopedEnv empty("HOME", "");
  ASSERT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_STREQ(buf, "./app_param.ini");
  ASSERT_EQ(ini.get_reg_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_STREQ(buf, "./app_reg.ini");
  ASSERT_EQ(ini.get_default_logname(buf, sizeof buf), INI_SUCCESS);
  EXPECT_STREQ(buf, "./app.log");
}

// QELLOG_CONFIG_DIR moves the parameter and registry files, never the
// default log file, and a privileged process ignores it as it ignores HOME.
TEST_F(IniNamesTest, ConfigDirVariableNamesTheParameterDirectory) {
  const std::string h = home_.path();
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  const std::string euid_home = pw->pw_dir;
  const struct {
    const char* value;  // null: unset
    bool privileged;
    std::string param;
    std::string reg;
  } cases[] = {
      {nullptr, false, h + "/.config/qel/app_param.ini", h + "/.config/qel/app_reg.ini"},
      {"", false, h + "/.config/qel/app_param.ini", h + "/.config/qel/app_reg.ini"},
      {"/etc/app", false, "/etc/app/app_param.ini", "/etc/app/app_reg.ini"},
      {"/etc/app/", false, "/etc/app/app_param.ini", "/etc/app/app_reg.ini"},
      {"conf", false, "conf/app_param.ini", "conf/app_reg.ini"},
      {"/etc/app", true, euid_home + "/.config/qel/app_param.ini",
       euid_home + "/.config/qel/app_reg.ini"},
  };
  CQel_ini ini("app");
  char buf[1024];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
    ScopedEnv dir(qellog::kConfigDirVariable, c.value);
    bool (*const probe)() = [] { return true; };
    ScopedSeam<bool (*)()> privileged(qellog::privilege_probe,
                                      c.privileged ? probe : qellog::privilege_probe);
    ASSERT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
    EXPECT_EQ(std::string(buf), c.param);
    ASSERT_EQ(ini.get_reg_filename(buf, sizeof buf), INI_SUCCESS);
    EXPECT_EQ(std::string(buf), c.reg);
    ASSERT_EQ(ini.get_default_logname(buf, sizeof buf), INI_SUCCESS);
    EXPECT_EQ(std::string(buf), (c.privileged ? euid_home : h) + "/.qel/qel_logging/app.log");
  }
  // The length limit holds for the directory as for a home text.
  ScopedEnv long_dir(qellog::kConfigDirVariable, ("/" + std::string(1010, 'd')).c_str());
  EXPECT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_ERR_BUFFER_TOO_SHORT);
}

TEST_F(IniNamesTest, UnsetHomeUsesPasswordEntry) {
  ScopedEnv unset("HOME", nullptr);
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr) << "test needs a password entry for the real user";
  const std::string dir = pw->pw_dir;
  CQel_ini ini("app");
  char buf[1024];
  ASSERT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), dir + "/.config/qel/app_param.ini");
  ASSERT_EQ(ini.get_default_logname(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), dir + "/.qel/qel_logging/app.log");
}

TEST_F(IniNamesTest, UnsetHomeWithoutPasswordEntryIsRelative) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take a user id without an entry";
  uid_t uid = 0x7ffe0000;
  while (getpwuid(uid) != nullptr) ++uid;
  ScopedEnv unset("HOME", nullptr);
  const ChildResult r = run_in_child([uid] {
    if (setuid(uid) != 0) return 2;
    CQel_ini ini("app");
    char buf[1024];
    if (ini.get_ini_filename(buf, sizeof buf) != INI_SUCCESS) return 3;
    return std::strcmp(buf, "./app_param.ini") == 0 ? 0 : 4;
  });
  EXPECT_EQ(r.status, 0);
}

TEST_F(IniNamesTest, LengthLimitPerOperationWithDiagnostics) {
  for (const OpCase& c : kOps) {
    SCOPED_TRACE(c.label);
    CQel_ini ini("app");
    attach(ini);
    // A home text that brings the name to exactly 1021 characters.
    const std::string home = "/" + std::string(1021 - c.fixed - 3 - 1, 'h');
    char buf[1024];
    {
      ScopedEnv env("HOME", home.c_str());
      ASSERT_EQ((ini.*c.op)(buf, sizeof buf), INI_SUCCESS);
      EXPECT_EQ(std::strlen(buf), 1021u);
    }
    std::memset(buf, '#', sizeof buf);
    {
      ScopedEnv env("HOME", (home + "h").c_str());
      EXPECT_EQ((ini.*c.op)(buf, sizeof buf), INI_ERR_BUFFER_TOO_SHORT);
    }
    EXPECT_EQ(buf[0], '#');
    std::vector<std::string> want;
    if (c.reports)
      want.push_back(std::string("00000000 ERROR ") + c.label + ": filename buffer to short");
    EXPECT_EQ(diag_lines(), want);
  }
}

TEST_F(IniNamesTest, CallerBufferSizesWithDiagnostics) {
  ScopedEnv empty("HOME", "");
  for (const OpCase& c : kOps) {
    SCOPED_TRACE(c.label);
    CQel_ini ini("app");
    attach(ini);
    const std::string want = std::string("./app") + c.suffix;
    const int len = static_cast<int>(want.size());
    std::vector<char> buf(want.size() + 8, '#');
    for (int size : {len, 0, -1, -1024}) {
      EXPECT_EQ((ini.*c.op)(buf.data(), size), INI_ERR_BUFFER_TOO_SHORT) << size;
    }
    EXPECT_EQ(buf[0], '#');
    ASSERT_EQ((ini.*c.op)(buf.data(), len + 1), INI_SUCCESS);
    EXPECT_EQ(std::string(buf.data()), want);
    EXPECT_EQ(buf[want.size() + 1], '#') << "wrote past the terminator";

    const std::string line = std::string("00000000 ERROR ") + c.label + ": fname buffer to short";
    const std::vector<std::string> expected =
        c.reports ? std::vector<std::string>(4, line) : std::vector<std::string>();
    EXPECT_EQ(diag_lines(), expected);
  }
}

TEST_F(IniNamesTest, DiagnosticsFollowTheAttachedLog) {
  ScopedEnv empty("HOME", "");
  CQel_ini ini("app");
  char small[4];
  // Without a log the diagnostic is dropped.
  EXPECT_EQ(ini.get_reg_filename(small, sizeof small), INI_ERR_BUFFER_TOO_SHORT);

  attach(ini);
  ini.writelog(LOGBIT_INFO, "%s: step %d of %s", "op", 3, "x");
  // Errors carry flag word 1 only: a log without the error class shows none.
  diag_->set_logbits(LOGBIT_INFO);
  EXPECT_EQ(ini.get_default_logname(small, sizeof small), INI_ERR_BUFFER_TOO_SHORT);
  diag_->set_logbits(3);
  ini.set_ini_log(nullptr);
  EXPECT_EQ(ini.get_default_logname(small, sizeof small), INI_ERR_BUFFER_TOO_SHORT);
  ini.ini_log = diag_.get();
  EXPECT_EQ(ini.get_reg_filename(small, sizeof small), INI_ERR_BUFFER_TOO_SHORT);

  const std::vector<std::string> want = {
      "00000000 op: step 3 of x",
      "00000000 ERROR get_reg_filename: fname buffer to short",
  };
  EXPECT_EQ(diag_lines(), want);
}

}  // namespace
