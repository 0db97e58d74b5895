// From its first open, a log's directory and file are its own: a Logpath
// link that another user planted is not followed, a file or FIFO planted
// at the live name is not taken, a live name taken while the log runs sends
// the lines to a name of the log's own, a parameter file that others could
// write is not obeyed, and the prediction of the open that the tool makes
// agrees with the open, case by case. User nobody plants; the tests need
// root to give files away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log/live_open.h"
#include "log/reopen.h"
#include "log_test_util.h"
#include "qellog/ini.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

constexpr char kRootsData[] = "root's data\r\n";
constexpr char kPlanted[] = " is a symbolic link that another user may have planted\n";
constexpr char kWhereOthersAdd[] = ", in a directory where other users may add names\n";

class StartupTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "planting files of another user needs root";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  }
  std::string subdir(const std::string& name, uid_t owner, mode_t mode) {
    const std::string d = dir.file(name);
    EXPECT_EQ(mkdir(d.c_str(), 0700), 0);
    EXPECT_EQ(chown(d.c_str(), owner, owner == 0 ? 0 : nobody_gid()), 0);
    EXPECT_EQ(chmod(d.c_str(), mode), 0);
    return d;
  }
  // `text` as the file `path` of `owner` with `mode`; a link to `target`.
  static void file_of(uid_t owner, mode_t mode, const std::string& path,
                      const std::string& text = "") {
    write_file(path, text);
    EXPECT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
  }
  static void link_of(uid_t owner, const std::string& target, const std::string& at) {
    EXPECT_EQ(symlink(target.c_str(), at.c_str()), 0);
    EXPECT_EQ(lchown(at.c_str(), owner, static_cast<gid_t>(-1)), 0);
  }
  // The log of base name "app" as init_logging builds it, and what the
  // library said on standard error meanwhile.
  std::unique_ptr<CQel_Log> build(std::string* err) {
    testing::internal::CaptureStderr();
    std::unique_ptr<CQel_Log> log(CQel_ini("app").create_log_from_ini());
    *err = testing::internal::GetCapturedStderr();
    return log;
  }

  TempDir dir;
  ScopedEnv tz{"TZ", "UTC0"};
  std::string home = dir.file("home");
  ScopedEnv home_env{"HOME", home.c_str()};
  ScopedEnv config_dir{"QELLOG_CONFIG_DIR", nullptr};
  const std::string nobody = std::to_string(nobody_uid());
};

// Planted in a shared directory, a link to root's directory, as Logpath or
// one level up, is not followed: the log goes to the default directory and
// root's file stays as it was. Root's own link there is followed. (A host
// that builds the log itself on such a path: the table test below.)
TEST_F(StartupTrust, PlantedLogpathLinksAreNotFollowed) {
  const std::string shared = subdir("shared", 0, 01777);
  const std::string sysdir = subdir("sysdir", 0, 0755);
  write_file(sysdir + "/app.log", kRootsData);
  link_of(nobody_uid(), sysdir, shared + "/applogs");
  link_of(nobody_uid(), sysdir, shared + "/x");
  link_of(0, sysdir, shared + "/mine");
  const std::string fallback = home + "/.qel/qel_logging/app.log";
  for (const std::string& d : {home, home + "/.qel", home + "/.qel/qel_logging"}) {
    mkdir(d.c_str(), 0755);
  }
  const struct {
    std::string logpath;
    std::string refused;   // the link named, "" when followed
    std::string log_file;  // as the log names it
  } cases[] = {
      {shared + "/applogs", shared + "/applogs", fallback},
      {shared + "/x/logs", shared + "/x", fallback},
      {shared + "/mine", "", shared + "/mine/app.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logpath);
    write_param_file(
        home, "app",
        "[LOGGING]\nLogpath=" + c.logpath + "\nLogname=app.log\nLogFileFlags=O_CREAT|O_TRUNC\n");
    std::string err;
    std::unique_ptr<CQel_Log> log = build(&err);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(std::string(log->filename), c.log_file);
    EXPECT_NE(log->hflog, -1);
    EXPECT_EQ(err, c.refused.empty()
                       ? ""
                       : "qellog: the log directory " + c.logpath + " refused: " + c.refused +
                             " (uid " + nobody + ", mode 0777)" + kPlanted);
    log->writelog(2, "a line");
    log.reset();
    const std::string root_file = read_file(sysdir + "/app.log");
    EXPECT_EQ(root_file == kRootsData, !c.refused.empty());
    EXPECT_EQ(list_dir(sysdir), std::vector<std::string>{"app.log"});
  }
}

// Where other users may add names, another user's file (with or without
// O_CREAT, also through the set-up) and a FIFO are refused with one line,
// and nothing of theirs is written, emptied or moved; the user's own file
// there and a new one are taken.
TEST_F(StartupTrust, APlantedLiveFileIsNeverTaken) {
  const std::string shared = subdir("shared", 0, 01777);
  const std::string theirs = subdir("theirs", nobody_uid(), 0755);
  file_of(nobody_uid(), 0666, shared + "/planted.log");
  file_of(nobody_uid(), 0644, theirs + "/app.log", "nobody's line\n");
  file_of(0, 0600, shared + "/own.log", "earlier run\r\n");
  ASSERT_EQ(mkfifo((shared + "/fifo.log").c_str(), 0666), 0);
  ASSERT_EQ(chown((shared + "/fifo.log").c_str(), nobody_uid(), nobody_gid()), 0);
  ASSERT_EQ(chmod((shared + "/fifo.log").c_str(), 0666), 0);
  const int reader = open((shared + "/fifo.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const std::string regular = " (uid " + nobody + ", mode 0666) is a regular file of another user";
  const struct {
    std::string path;
    int flags;
    std::string said;  // after "refused: <path>"; "" when the file is taken
  } cases[] = {
      {shared + "/planted.log", kCreate, regular},
      {shared + "/planted.log", O_WRONLY | O_TRUNC, regular},
      {theirs + "/app.log", kCreate | O_TRUNC,
       " (uid " + nobody + ", mode 0644) is a regular file of another user"},
      {shared + "/fifo.log", kCreate, " (uid " + nobody + ", mode 0666) is a FIFO"},
      {shared + "/own.log", kCreate | O_TRUNC, ""},
      {shared + "/new.log", kCreate, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    testing::internal::CaptureStderr();
    {
      CQel_Log log(c.path.c_str(), c.flags, 0600);
      EXPECT_EQ(log.hflog != -1, c.said.empty());
      log.writelog(1, "secret");
      log.create_next_file();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              c.said.empty() ? ""
                             : "qellog: the log file " + c.path + " refused: " + c.path + c.said +
                                   kWhereOthersAdd);
  }
  EXPECT_EQ(read_file(shared + "/planted.log"), "");
  EXPECT_EQ(read_file(theirs + "/app.log"), "nobody's line\n");
  EXPECT_EQ(list_dir(theirs), std::vector<std::string>{"app.log"});
  EXPECT_EQ(read_fd(reader), "");
  close(reader);
  // The files taken were rotated once: their first part holds the line.
  for (const char* stem : {"own", "new"}) {
    const std::vector<std::string> rotated = rotated_files(shared, stem);
    ASSERT_EQ(rotated.size(), 1u) << stem;
    EXPECT_EQ(body_lines(shared + "/" + rotated[0]), std::vector<std::string>{"ERROR secret"})
        << "O_TRUNC empties the user's own file";
  }

  write_param_file(home, "app", "[LOGGING]\nLogpath=" + shared + "\nLogname=planted.log\n");
  std::string err;
  std::unique_ptr<CQel_Log> log = build(&err);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->hflog, -1);
  EXPECT_EQ(err, "qellog: the log file " + shared + "/planted.log refused: " + shared +
                     "/planted.log" + regular + kWhereOthersAdd);
}

// The live file deleted while the log runs and its name taken by what may
// not become the live file: at the next check the lines go to a file of a
// rotated name, said once; rotations keep to rotated names while the name
// is taken, and come back to it once it is free. Nothing of the taker's
// changes, and the deleted file gets no line after the check.
TEST_F(StartupTrust, ALiveNameTakenAfterItsFileWentGetsRotatedNames) {
  const std::string theirs = subdir("theirs", nobody_uid(), 0755);
  const std::string path = theirs + "/app.log";
  const std::string victim = dir.file("victim");
  write_file(victim, kRootsData);
  const struct {
    const char* label;
    std::function<void()> take;
    std::function<int()> give_back;
  } takers[] = {
      {"a directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); },
       [&] { return rmdir(path.c_str()); }},
      {"a link", [&] { link_of(nobody_uid(), victim, path); },
       [&] { return unlink(path.c_str()); }},
      {"another user's file", [&] { file_of(nobody_uid(), 0666, path); },
       [&] { return read_file(path).empty() ? unlink(path.c_str()) : -1; }},
  };
  for (const auto& t : takers) {
    SCOPED_TRACE(t.label);
    auto log = std::make_unique<CQel_Log>(path.c_str(), kCreate, 0600);
    log->set_logbits(LOGBIT_INTERNAL | 3);
    log->set_reopen(true);
    log->writelog(2, "before");
    const int deleted = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(unlink(path.c_str()), 0);
    t.take();
    qellog::check_reopen(*log);
    for (int i = 0; i < 3; ++i) {
      log->writelog(2, "line %d", i);
      log->create_next_file();
      qellog::check_reopen(*log);
    }
    EXPECT_EQ(count_of(read_fd(deleted), "line "), 0u);
    close(deleted);
    std::string text;
    for (const std::string& name : rotated_files(theirs)) text += read_file(theirs + "/" + name);
    EXPECT_EQ(rotated_files(theirs).size(), 4u);
    for (const char* line : {"\r\nline 0\r\n", "\r\nline 1\r\n", "\r\nline 2\r\n"}) {
      EXPECT_EQ(count_of(text, line), 1u) << line;
    }
    EXPECT_EQ(count_of(text, "reopen_file: " + path + " is taken, lines go on in " + theirs + "/"),
              1u);
    EXPECT_EQ(read_file(victim), kRootsData);
    ASSERT_EQ(t.give_back(), 0) << "the taker's name changed";
    log->create_next_file();
    log->writelog(2, "back");
    EXPECT_EQ(body_lines(path).back(), "back");
    log.reset();
    for (const std::string& name : list_dir(theirs)) unlink((theirs + "/" + name).c_str());
  }
}

// A parameter file that a user other than its user and root could have
// written is obeyed by no process: not when group or others may write it,
// another user owns it, a directory on its path is open to others without
// the sticky bit, or a link on the way was planted. No log is built, and
// one line names the file, its owner and mode. A sticky directory is fine.
TEST_F(StartupTrust, ParameterFilesOthersCouldWriteAreNotObeyed) {
  const std::string victim = dir.file("victim");
  const std::string param = write_param_file(
      home, "app", "[LOGGING]\nLogname=" + victim + "\nLogFileFlags=O_CREAT|O_TRUNC\n");
  const std::string qel = home + "/.config/qel";
  const std::string shared = subdir("shared", 0, 01777);
  link_of(nobody_uid(), qel, shared + "/cfg");
  const std::string root = " (uid 0, mode 0";
  const struct {
    const char* label;
    std::function<void()> make;
    std::string said;  // "" when obeyed
  } cases[] = {
      {"0644", [] {}, ""},
      {"0666", [&] { chmod(param.c_str(), 0666); },
       param + root + "666) is writable by group or others"},
      {"nobody's", [&] { ASSERT_EQ(chown(param.c_str(), nobody_uid(), nobody_gid()), 0); },
       param + " (uid " + nobody + ", mode 0644) is owned by neither the effective user nor root"},
      {"directory 0777", [&] { chmod(qel.c_str(), 0777); },
       qel + root + "777) is a directory that other users may write"},
      {"directory 01777", [&] { chmod(qel.c_str(), 01777); }, ""},
      {"planted link", [&] { setenv("QELLOG_CONFIG_DIR", (shared + "/cfg").c_str(), 1); },
       shared + "/cfg (uid " + nobody + ", mode 0777) is a symbolic link that another user may " +
           "have planted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(victim, kRootsData);
    ASSERT_EQ(chown(param.c_str(), 0, 0), 0);
    write_param_file(home, "app", read_file(param));
    c.make();
    const char* config = getenv("QELLOG_CONFIG_DIR");
    const std::string named = config != nullptr ? std::string(config) + "/app_param.ini" : param;
    std::string err;
    const std::unique_ptr<CQel_Log> log = build(&err);
    EXPECT_EQ(log == nullptr, !c.said.empty());
    EXPECT_EQ(read_file(victim) == kRootsData, !c.said.empty());
    EXPECT_EQ(err, c.said.empty()
                       ? ""
                       : "qellog: the parameter file " + named + " refused: " + c.said + "\n");
    unsetenv("QELLOG_CONFIG_DIR");
  }
}

// The prediction of the open that qellog --check and the pipe give, and
// the open itself, for each kind of name, rule and permission: a child
// predicts (saying a refusal as the library says it), then constructs the
// log; both must give the expected outcome, and a refusal the same line.
TEST_F(StartupTrust, PredictionOfTheOpenAgreesWithTheOpen) {
  const std::string own = subdir("own", 0, 0755);
  const std::string shared = subdir("shared", 0, 01777);
  for (const std::string& fifo : {own + "/fifo", own + "/read.fifo", shared + "/fifo.log"}) {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  }
  const int reader = open((own + "/read.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/sock", own.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  for (const std::string& dev : {own + "/null", shared + "/null"}) {
    ASSERT_EQ(mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  }
  ASSERT_EQ(mkdir((own + "/dir.log").c_str(), 0755), 0);
  file_of(0, 0644, own + "/roots.log");
  file_of(0, 0644, shared + "/own.log");
  file_of(nobody_uid(), 0666, shared + "/theirs.log");
  link_of(nobody_uid(), own + "/roots.log", shared + "/link.log");
  link_of(nobody_uid(), own, shared + "/planted");
  const struct {
    const char* label;
    std::string path;
    int flags;
    bool as_nobody;
    int err;             // the open's errno, 0 when it opens
    const char* reason;  // of a refusal
  } cases[] = {
      {"missing, O_CREAT", own + "/new.log", kCreate, false, 0, nullptr},
      {"missing", own + "/none.log", O_WRONLY, false, ENOENT, nullptr},
      {"missing directory", own + "/no/app.log", kCreate, false, ENOENT, nullptr},
      {"FIFO without a reader", own + "/fifo", kCreate, false, ENXIO, nullptr},
      {"FIFO with a reader", own + "/read.fifo", kCreate, false, 0, nullptr},
      {"socket", own + "/sock", kCreate, false, ENXIO, nullptr},
      {"device", own + "/null", kCreate, false, 0, nullptr},
      {"directory", own + "/dir.log", kCreate, false, EISDIR, nullptr},
      {"/dev/stdout", "/dev/stdout", O_WRONLY, false, 0, nullptr},
      {"own file, shared", shared + "/own.log", kCreate | O_TRUNC, false, 0, nullptr},
      {"another user's file, shared", shared + "/theirs.log", kCreate, false, EPERM,
       "a regular file of another user"},
      {"FIFO, shared", shared + "/fifo.log", kCreate, false, EINVAL, "a FIFO"},
      {"device, shared", shared + "/null", kCreate, false, EINVAL, "a device"},
      {"link, shared", shared + "/link.log", kCreate, false, ELOOP, "a symbolic link"},
      {"planted directory link", shared + "/planted/app.log", kCreate, false, ELOOP,
       "a symbolic link that another user may have planted"},
      {"no write permission", own + "/roots.log", kCreate, true, EACCES, nullptr},
      {"no permission to create", own + "/nobodys.log", kCreate, true, EACCES, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto predict_then_open = [&] {
      qellog::PathRefusal why;
      const int predicted = qellog::predict_live_open(c.path.c_str(), c.flags, false, &why);
      if (why.reason != nullptr) qellog::say_refusal(qellog::kLogFileRefused, c.path.c_str(), why);
      CQel_Log log(c.path.c_str(), c.flags, 0644);
      return predicted * 2 + (log.hflog != -1 ? 1 : 0);
    };
    const ChildResult r =
        c.as_nobody ? run_as_nobody(predict_then_open) : run_in_child(predict_then_open);
    EXPECT_EQ(r.status, c.err * 2 + (c.err == 0 ? 1 : 0))
        << "predicted " << std::strerror(r.status / 2) << ", opened " << r.status % 2;
    const std::vector<std::string> said = split_crlf(r.err, "\n");
    if (c.reason == nullptr) {
      EXPECT_EQ(r.err, "");
    } else {
      ASSERT_EQ(said.size(), 2u) << r.err;
      EXPECT_EQ(said[0], said[1]) << "the prediction and the open name different refusals";
      EXPECT_NE(said[0].find(std::string(") is ") + c.reason), std::string::npos) << said[0];
    }
  }
  close(reader);
  close(sock);
}

}  // namespace
