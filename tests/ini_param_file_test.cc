// The parameter file's descriptor, and how a privileged process chooses and
// judges the file.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/param_file.h"
#include "qellog/ini.h"
#include "test_util.h"

using namespace qellog_test;

namespace {

// The library sees the process as privileged, or not, while this lives.
bool yes() { return true; }
bool no() { return false; }
struct ScopedPrivilege : ScopedSeam<bool (*)()> {
  explicit ScopedPrivilege(bool on) : ScopedSeam(qellog::privilege_probe, on ? &yes : &no) {}
};

std::string password_home(uid_t uid) {
  const passwd* pw = getpwuid(uid);
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

// How many descriptors of this process are open on `path`.
int descriptors_on(const std::string& path) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* e = readdir(dir)) {
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && path == std::string(target, static_cast<size_t>(n))) ++count;
  }
  closedir(dir);
  return count;
}

std::vector<int> g_fd_flags;
void record_fd_flags(int fd) { g_fd_flags.push_back(fcntl(fd, F_GETFD)); }

TEST(ParamFileTest, DescriptorIsCloseOnExecAndClosedOnEveryPath) {
  TempDir home;
  TempDir work;
  ScopedEnv env("HOME", home.path().c_str());
  const std::string ini_path =
      write_param_file(home.path(), "app",
                       "[LOGGING]\nLogname = " + work.file("a.log") +
                           "\nLogFileFlags = creat\n[GENERAL]\ngeneral = 3\n");
  g_fd_flags.clear();
  ScopedSeam<void (*)(int)> observed(qellog::param_fd_observer, &record_fd_flags);
  CQel_ini ini("app");
  std::unique_ptr<CQel_Log> log(ini.create_log_from_ini());
  ASSERT_NE(log, nullptr);
  EXPECT_NE(log->get_filehandle(), -1);
  unsigned v = 0;
  EXPECT_EQ(ini.get_param_from_ini("GENERAL", "general", v), INI_SUCCESS);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(ini.get_general_bits_from_ini(v), INI_SUCCESS);
  EXPECT_EQ(descriptors_on(ini_path), 0);

  // A name that is no regular file (here a directory) is refused before
  // the parser sees it, and closed.
  unlink(ini_path.c_str());
  ASSERT_EQ(mkdir(ini_path.c_str(), 0755), 0);
  EXPECT_EQ(ini.create_log_from_ini(), nullptr);
  EXPECT_EQ(ini.get_param_from_ini("GENERAL", "general", v), INI_ERR_LOAD_FILE);
  EXPECT_EQ(descriptors_on(ini_path), 0);
  EXPECT_EQ(g_fd_flags, std::vector<int>(3, FD_CLOEXEC));
}

TEST(ParamFileTest, PrivilegedProcessIgnoresHome) {
  TempDir home;
  ScopedEnv env("HOME", home.path().c_str());
  CQel_ini ini("app");
  char buf[1024];
  {
    ScopedPrivilege privileged(true);
    const std::string own = password_home(geteuid());
    ASSERT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
    EXPECT_EQ(std::string(buf), own + "/.config/qel/app_param.ini");
    ASSERT_EQ(ini.get_default_logname(buf, sizeof buf), INI_SUCCESS);
    EXPECT_EQ(std::string(buf), own + "/.qel/qel_logging/app.log");
  }
  ScopedPrivilege plain(false);
  ASSERT_EQ(ini.get_ini_filename(buf, sizeof buf), INI_SUCCESS);
  EXPECT_EQ(std::string(buf), home.path() + "/.config/qel/app_param.ini");
}

TEST(ParamFileTest, PrivilegedProcessReadsOnlyTrustedFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  TempDir dir;
  ScopedCwd cwd(dir.path());
  const std::string good = dir.file("good.ini");
  write_file(good, "[GENERAL]\ngeneral = 1\n");
  ASSERT_EQ(chmod(good.c_str(), 0644), 0);
  const auto copy_with_mode = [&](const char* name, mode_t mode) {
    write_file(dir.file(name), "[GENERAL]\ngeneral = 1\n");
    chmod(dir.file(name).c_str(), mode);
    return dir.file(name);
  };
  const std::string foreign = copy_with_mode("foreign.ini", 0600);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink(good.c_str(), dir.file("link.ini").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  // A file that another user could have written is obeyed by no process.
  const struct {
    const char* label;
    std::string path;
    bool privileged_opens;
    bool unprivileged_opens;
  } cases[] = {
      {"root's, 0644", good, true, true},
      {"another user's", foreign, false, false},
      {"group-writable", copy_with_mode("group.ini", 0664), false, false},
      {"others-writable", copy_with_mode("others.ini", 0646), false, false},
      {"symbolic link to a good file", dir.file("link.ini"), false, true},
      {"directory", dir.file("sub"), false, false},
      {"relative name of a good file", "good.ini", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const bool privileged : {true, false}) {
      ScopedPrivilege scope(privileged);
      FILE* f = qellog::open_param_file(c.path.c_str());
      EXPECT_EQ(f != nullptr, privileged ? c.privileged_opens : c.unprivileged_opens) << privileged;
      if (f != nullptr) std::fclose(f);
    }
  }
}

// The real case: a setuid-root host, run by an unprivileged user whose HOME
// holds a parameter file that names a file of root's and asks to truncate it.
TEST(ParamFileTest, SetuidHostIgnoresTheCallersParameterFile) {
  if (geteuid() != 0) GTEST_SKIP() << "installing a setuid-root program needs root";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  ScopedEnv tmp("TMPDIR", "/tmp");
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string host = dir.file("host");
  write_file(host, read_file(QELLOG_PARAM_FILE_HOST));
  ASSERT_EQ(chown(host.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(host.c_str(), 04755), 0);
  const std::string victim = dir.file("victim");
  write_file(victim, "root's data\n");

  const std::string base = "qellog_setuid_check";
  const std::string home = dir.file("home");
  const std::string hostile =
      write_param_file(home, base,
                       "[LOGGING]\nLogname = " + victim +
                           "\nLogFileFlags = O_CREAT|O_TRUNC\n[GENERAL]\ngeneral = 1\n");
  for (const std::string& p : {home, home + "/.config", home + "/.config/qel", hostile}) {
    ASSERT_EQ(chown(p.c_str(), uid, gid), 0) << p;
  }
  const std::string root_ini = password_home(0) + "/.config/qel/" + base + "_param.ini";
  ASSERT_FALSE(file_exists(root_ini)) << "a parameter file of root's is in the way";

  const ChildResult r = run_in_child([&] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 10;
    const std::string env_home = "HOME=" + home;
    char* const argv[] = {const_cast<char*>(host.c_str()), const_cast<char*>(base.c_str()),
                          nullptr};
    char* const envp[] = {const_cast<char*>(env_home.c_str()), nullptr};
    execve(host.c_str(), argv, envp);
    return 11;
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "euid 0 secure 1 ini " + root_ini + " log 0 general 0xa00a3004\n");
  EXPECT_EQ(read_file(victim), "root's data\n");
}

}  // namespace
