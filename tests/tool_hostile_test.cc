// The qellog tool against files that would hang, exhaust or mislead it:
// FIFOs and directories where files belong, an oversized parameter file, a
// NUL byte that hides keys from the parser, a live file without a line end.
#include <sys/stat.h>

#include <functional>

#include "tool_fixture.h"

using namespace qellog_tool_test;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class HostileTest : public ToolTest {
 protected:
  std::string logs() const { return home() + "/logs"; }
  // A parameter file whose log is $HOME/logs/<name>.log, created on demand.
  void params(const std::string& name) {
    mkdir(logs().c_str(), 0755);
    write_param_text(name, log_params(logs(), name + ".log"));
  }
};

// Each command on each kind of parameter file that the library does not
// read: it returns at once and says why.
TEST_F(HostileTest, ParameterFilesThatAreNotReadNeverHang) {
  ASSERT_EQ(mkfifo(param_file(home(), "fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(param_path("dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/zero", param_path("zero").c_str()), 0);
  // A sparse 256 MiB file: large, but cheap to make.
  write_file(param_path("huge"), "[LOGGING]\nLogname=huge.log\n");
  ASSERT_EQ(truncate(param_path("huge").c_str(), 256 << 20), 0);
  const TempDir tmp;
  const ScopedEnv tmpdir("TMPDIR", tmp.path().c_str());

  const struct {
    std::string name;
    std::string reason;
  } files[] = {
      {"fifo", "not a regular file"},
      {"dir", "not a regular file"},
      {"zero", "not a regular file"},
      {"huge", "larger than 1048576 bytes, which the library does not read"},
  };
  for (const auto& f : files) {
    const std::string param = param_path(f.name);
    const ChildResult check = run({"--check", f.name});
    EXPECT_EQ(check.status, 1) << f.name << check.out << check.err;
    EXPECT_TRUE(contains(check.out, "error: cannot read " + param + ": " + f.reason + "\n"))
        << check.out;
    const ChildResult where = run({"--where", f.name});
    EXPECT_EQ(where.status, 1) << f.name;
    EXPECT_TRUE(
        contains(where.out, "log file: none (" + f.reason + ": the library opens no log)\n"))
        << where.out;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--show", f.name}, std::vector<std::string>{f.name}}) {
      const ChildResult r = run(args, "a line\n");
      EXPECT_EQ(r.status, 1) << f.name << " " << args[0];
      EXPECT_TRUE(contains(r.err, "cannot read the parameter file " + param + ": " + f.reason))
          << r.err;
    }
  }
  EXPECT_EQ(list_dir(tmp.path()), std::vector<std::string>{}) << "nothing copied";
  EXPECT_FALSE(file_exists(home() + "/.qel")) << "no log made";
}

// What the parser never sees (after a NUL byte) cannot steer the check
// away from the file the library writes, and the check never touches it.
TEST_F(HostileTest, HiddenKeysNeitherMisleadNorTruncate) {
  mkdir(logs().c_str(), 0755);
  const std::string real = logs() + "/a.log";
  write_file(real, "earlier lines\n");
  write_param_text("nul", std::string("[LOGGING]\nLogpath=") + logs() +
                              "\nLogname=a.log\nLogFileFlags=O_CREAT|O_TRUNC\n" +
                              std::string(1, '\0') + "\nLogname=b.log\nLogpath=/tmp\n");
  const ChildResult check = run({"--check", "nul"});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_TRUE(contains(check.out, "  log file           " + real + " (Logpath + Logname)\n"))
      << check.out;
  EXPECT_EQ(read_file(real), "earlier lines\n") << "neither emptied nor given a header";

  const ChildResult where = run({"--where", "nul"});
  EXPECT_TRUE(contains(where.out, "log file: " + real + " (Logpath + Logname), 14 bytes\n"))
      << where.out;
  // The library, piping, writes where the check said, emptying the file
  // as O_TRUNC asks.
  ASSERT_EQ(run({"nul"}, "piped\n").status, 0);
  EXPECT_EQ(message_lines(read_file(real)), std::vector<std::string>{"00000001 piped"});
  EXPECT_EQ(list_dir(logs()), std::vector<std::string>{"a.log"});
}

// A FIFO or a directory at the live name: --show returns at once, --check
// warns that the library never rotates it, and a FIFO without a reader is
// an error for --check as for the pipe, which both take from the
// library's own prediction of its open.
TEST_F(HostileTest, LiveNamesThatAreNotFilesNeverHang) {
  params("fifo");
  ASSERT_EQ(mkfifo((logs() + "/fifo.log").c_str(), 0644), 0);
  params("dir");
  ASSERT_EQ(mkdir((logs() + "/dir.log").c_str(), 0755), 0);
  for (const char* name : {"fifo", "dir"}) {
    const std::string live = logs() + "/" + name + ".log";
    for (const std::string& target : {std::string(name), live}) {
      const ChildResult show = run({"--show", target});
      EXPECT_EQ(show.status, 1) << target;
      EXPECT_EQ(show.err, "qellog: " + live +
                              " is not a regular file; not shown\n"
                              "qellog: no log file " +
                              live + " and no rotated files\n");
    }
  }
  const ChildResult check = run({"--check", "fifo"});
  EXPECT_EQ(check.status, 1) << check.out;
  EXPECT_TRUE(contains(
      check.out, "warning: the log file " + logs() +
                     "/fifo.log is a FIFO, not a regular file: the library never rotates it\n"))
      << check.out;
  const std::string no_reader =
      "cannot open the log file " + logs() + "/fifo.log: No such device or address\n";
  EXPECT_TRUE(contains(check.out, "error: " + no_reader)) << check.out;
  const ChildResult pipe = run({"fifo"}, "a line\n");
  EXPECT_EQ(pipe.status, 1);
  EXPECT_TRUE(starts_with(pipe.err, "qellog: " + no_reader)) << pipe.err;
}

// A live file of 1 GiB (256 MiB under a sanitizer) without a line end is
// shown in bounded memory.
TEST_F(HostileTest, AHugeLineIsStreamedInBoundedMemory) {
  params("big");
  const std::string live = logs() + "/big.log";
  write_file(live, "");
  const off_t size = kSanitized ? (256LL << 20) : (1LL << 30);
  ASSERT_EQ(truncate(live.c_str(), size), 0);
  for (const std::string& target : {std::string("big"), live}) {
    const QuietResult r = run_quiet({"--show", target});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    if (!kSanitized) {
      EXPECT_LT(r.max_rss_kib, 64 * 1024) << target;
    }
  }
}

// Without a parameter file, or with one the library does not obey, every
// command that needs one ends with status 1, as the exit-status table says.
TEST_F(HostileTest, NoParameterFileEndsEveryCommandWithStatus1) {
  params("lax");
  ASSERT_EQ(chmod(param_path("lax").c_str(), 0666), 0);
  for (const char* name : {"none", "lax"}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check", name}, {"--where", name}, {"--show", name}, {name}}) {
      EXPECT_EQ(run(args, "a line\n").status, 1) << args[0] << " " << name;
    }
  }
  EXPECT_FALSE(file_exists(logs() + "/lax.log")) << "a refused file is not obeyed";
}

// What the library refuses at the start is an error of --check (status 1),
// with the owner and mode: a parameter file others may write, a Logpath
// link planted in a shared directory, another user's file at the live name.
TEST_F(HostileTest, CheckReportsRefusalsAsErrors) {
  if (geteuid() != 0) GTEST_SKIP() << "planting files of another user needs root";
  const std::string nobody = std::to_string(nobody_uid());
  params("lax");
  ASSERT_EQ(chmod(param_path("lax").c_str(), 0660), 0);
  const std::string shared = home() + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(symlink(logs().c_str(), (shared + "/link").c_str()), 0);
  ASSERT_EQ(lchown((shared + "/link").c_str(), nobody_uid(), nobody_gid()), 0);
  write_param_text("linked", log_params(shared + "/link", "linked.log"));
  write_file(shared + "/theirs.log", "");
  ASSERT_EQ(chown((shared + "/theirs.log").c_str(), nobody_uid(), nobody_gid()), 0);
  ASSERT_EQ(chmod((shared + "/theirs.log").c_str(), 0644), 0);
  write_param_text("theirs", log_params(shared, "theirs.log"));
  const struct {
    const char* name;
    std::string error;
  } cases[] = {
      {"lax", "error: cannot read " + param_path("lax") + ": refused: " + param_path("lax") +
                  " (uid 0, mode 0660) is writable by group or others\n"},
      {"linked", "error: Logpath = " + shared + "/link: refused: " + shared + "/link (uid " +
                     nobody + ", mode 0777) is a symbolic link that another user may have " +
                     "planted: the log goes to " + home() + "/.qel/qel_logging/linked.log\n"},
      {"theirs", "error: cannot open the log file " + shared + "/theirs.log: refused: " + shared +
                     "/theirs.log (uid " + nobody + ", mode 0644) is a regular file of another " +
                     "user, in a directory where other users may add names\n"},
  };
  for (const auto& c : cases) {
    const ChildResult check = run({"--check", c.name});
    EXPECT_EQ(check.status, 1) << c.name;
    EXPECT_TRUE(contains(check.out, c.error)) << check.out;
  }
}

// Paths that hold terminal controls are escaped in the tool's messages on
// a terminal, as --show escapes a log's text, and left as they are
// elsewhere.
TEST_F(HostileTest, MessagesEscapeControlCharactersOnATerminal) {
  const std::string name = "a\x1b]0;owned\x07\nb";
  const std::string shown = "a\\x1b]0;owned\\x07\\x0ab";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--where", name}, {name}, {"--flags", "\x1b[2J", name}}) {
    OnTerminal tty([&] { exec_tool(args, home()); });
    ASSERT_TRUE(tty.started());
    EXPECT_NE(tty.finish(), 0) << args[0];
    EXPECT_FALSE(contains(tty.shown(), "\x1b")) << tty.shown();
    EXPECT_TRUE(contains(tty.shown(), args.size() == 3 ? "\\x1b[2J" : shown)) << tty.shown();
  }
  const ChildResult piped = run({"--where", name});
  EXPECT_TRUE(contains(piped.out, name + "_param.ini")) << piped.out;
}

}  // namespace
