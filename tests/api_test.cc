// The process-wide API. Its state lives for the whole process, so every
// scenario runs in a forked child with a HOME of its own; the child's gtest
// failures become its exit status.
#include "qellog/api.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/process_log.h"
#include "qellog/log.h"
#include "test_util.h"

using namespace qellog_test;

namespace {

char* text(std::string& s) { return &s[0]; }

class ApiTest : public ::testing::Test {
 protected:
  std::string log_path(const std::string& logname = "app.log") const {
    return home_.file("logs/" + logname);
  }

  // The parameter file of `name`, logging to $HOME/logs/<logname>.
  void write_params(const std::string& name, const std::string& logname = "app.log",
                    const std::string& extra = "") {
    write_param_file(home_.path(), name,
                     log_params(home_.file("logs"), logname, "Logging=0x3\n" + extra));
  }

  // Runs `body` in a fresh process whose HOME is this test's directory.
  void in_child(const std::function<void()>& body) {
    const ChildResult r = run_in_child([&] {
      setenv("HOME", home_.path().c_str(), 1);
      body();
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(r.status, 0) << "child output:\n" << r.out << r.err;
    // The child ends with _exit(), which skips ThreadSanitizer's exit code.
    EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err;
  }

  // Runs `body` as in_child() right after init_logging("app") on the
  // parameter file write_params("app") writes; returns the log's text.
  std::string run_app(const std::function<void()>& body) {
    write_params("app");
    in_child([&] {
      std::string name = "app";
      init_logging(text(name));
      body();
    });
    return read_file(log_path());
  }

  TempDir home_;
};

TEST_F(ApiTest, WithoutALogEveryCallIsAQuietNoOp) {
  // The empty base name's file exists, so a null name taken as "" would
  // find it and open a log.
  write_params("", "empty.log");
  in_child([&] {
    char keep[] = "untouched";
    writelog(LOGBIT_ERROR, nullptr, "before init %d", 1);
    set_logparam_logbits(7);
    set_logparam_flushlines(1);
    set_logparam_filelen(10);
    init_logthread(0);
    exit_logthread();
    exit_logthread_t(1);
    exit_logging();

    init_logging(nullptr);
    std::string name = "app";
    init_logging(text(name));  // no app_param.ini
    EXPECT_EQ(qellog::current_process_log(), nullptr);
    EXPECT_EQ(get_logparam_logbits(), 0u);
    EXPECT_EQ(get_logparam_filehandle(), 0);
    writelog(LOGBIT_ERROR, nullptr, nullptr);

    set_logversions(nullptr, nullptr, nullptr, nullptr);
    set_logparam_thread(1);
    set_logparam_logfilepath(nullptr);
    set_logparam_logfilepath(keep);
    EXPECT_EQ(get_logparam(nullptr), 0);
    EXPECT_EQ(get_logparam(keep), 0);
    EXPECT_EQ(get_logparam_logfilepath(keep, sizeof keep), 0);
    EXPECT_EQ(get_logparam_logfilename(keep, sizeof keep), 0);
    EXPECT_EQ(get_logparam_logfilepath(nullptr, 100), 0);
    EXPECT_EQ(get_logparam_logfilename(nullptr, 100), 0);
    EXPECT_STREQ(keep, "untouched");
    EXPECT_EQ(get_logparam_not_used(nullptr), 0);
  });
  EXPECT_FALSE(file_exists(log_path("empty.log")));
  EXPECT_FALSE(file_exists(log_path()));
}

TEST_F(ApiTest, MissingParameterFileIsPickedUpByALaterInit) {
  in_child([&] {
    std::string name = "app";
    init_logging(text(name));
    EXPECT_EQ(get_logparam_logbits(), 0u);
    EXPECT_FALSE(file_exists(log_path()));

    write_params("app");
    init_logging(text(name));
    EXPECT_EQ(get_logparam_logbits(), 3u);
    EXPECT_GT(get_logparam_filehandle(), 0);
    writelog(LOGBIT_INFO, nullptr, "after the file appeared");
    exit_logging();
  });
  const std::string log = read_file(log_path());
  EXPECT_EQ(log.rfind("Logfile: " + log_path() + "\r\n", 0), 0u) << log;
  EXPECT_NE(log.find("\r\n00000000 after the file appeared\r\n"), std::string::npos) << log;
}

TEST_F(ApiTest, SecondInitKeepsTheFirstLog) {
  write_params("app");
  write_params("other", "other.log", "Logging=0x7\n");
  in_child([&] {
    std::string app = "app", other = "other";
    init_logging(text(app));
    writelog(LOGBIT_INFO, nullptr, "one");
    init_logging(text(other));
    init_logging(text(app));
    writelog(LOGBIT_INFO, nullptr, "two");
    EXPECT_EQ(get_logparam_logbits(), 3u);
    exit_logging();
  });
  EXPECT_FALSE(file_exists(log_path("other.log")));
  const std::string log = read_file(log_path());
  EXPECT_EQ(count_of(log, "Logfile: "), 1u) << log;
  EXPECT_EQ(count_of(log, "\r\n Version:  created \r\n"), 1u) << log;
  EXPECT_NE(log.find("00000000 one\r\n00000000 two\r\n"), std::string::npos) << log;
}

TEST_F(ApiTest, ExitTwiceAndUnloadDestroyTheLogOnce) {
  const std::string log = run_app([&] {
    writelog(LOGBIT_INFO, nullptr, "before exit");
    exit_logging();
    const unsigned long closed_size = file_size(log_path());
    writelog(LOGBIT_ERROR, nullptr, "after exit");
    set_logparam_logbits(7);
    EXPECT_EQ(get_logparam_logbits(), 0u);
    EXPECT_EQ(get_logparam_filehandle(), 0);
    exit_logging();
    log_func_fini();
    EXPECT_EQ(file_size(log_path()), closed_size);
  });
  EXPECT_EQ(count_of(log, "Logging ended at"), 1u) << log;
  EXPECT_TRUE(ends_with_trailer(log)) << log;
  EXPECT_EQ(log.find("after exit"), std::string::npos);
}

TEST_F(ApiTest, AForkedChildNeverEndsItsParentsLog) {
  const std::string log = run_app([&] {
    init_logthread(0);
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(20);  // a hang fails the test instead of stalling the suite
      writelog(LOGBIT_INFO, nullptr, "from the child");
      exit_logging();        // lets go of the inherited log, writes no trailer
      exit_forked_child(0);  // and so does the unload hook at exit()
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    writelog(LOGBIT_INFO, nullptr, "parent goes on");
    exit_logging();
  });
  EXPECT_EQ(count_of(log, "Logging ended at"), 1u) << log;
  EXPECT_TRUE(ends_with_trailer(log)) << log;
  EXPECT_NE(log.find("from the child"), std::string::npos);
  EXPECT_LT(log.find("from the child"), log.find("parent goes on"));
}

TEST_F(ApiTest, UnloadHookAtNormalExitWritesTheTrailer) {
  const std::string log = run_app([&] {
    writelog(LOGBIT_INFO, nullptr, "last line");
    // exit() runs the library's finalisers, as at the end of main().
    std::exit(::testing::Test::HasFailure() ? 1 : 0);
  });
  EXPECT_NE(log.find("00000000 last line\r\n"), std::string::npos) << log;
  EXPECT_EQ(count_of(log, "Logging ended at"), 1u) << log;
  EXPECT_TRUE(ends_with_trailer(log)) << log;
}

TEST_F(ApiTest, IdentityTextsAreCutAndUsedByTheNextInitOnly) {
  write_params("app");
  in_child([&] {
    // Longer than every buffer on the way: 49/199 characters here, then
    // 19/39/99 in the log's banner fields.
    std::string name(60, 'n'), vers(60, 'v'), desc(250, 'd'), created(60, 'c');
    set_logversions(text(name), text(vers), text(desc), text(created));
    std::string app = "app";
    init_logging(text(app));
    std::string late = "late", nine = "9", empty, today = "today";
    set_logversions(text(late), text(nine), text(empty), text(today));
    writelog(LOGBIT_INFO, nullptr, "first log");
    exit_logging();
    // The new identity, without a description, reaches the next log.
    init_logging(text(app));
    exit_logging();
  });
  const std::string log = read_file(log_path());
  const std::string first_banner = std::string(19, 'n') + " Version: " + std::string(39, 'v') +
                                   " created " + std::string(19, 'c') +
                                   "\r\nDescription: " + std::string(99, 'd') +
                                   "\r\n\r\n00000000 first log\r\n";
  EXPECT_NE(log.find(first_banner), std::string::npos) << log;
  const size_t second = log.find("late Version: 9 created today\r\n\r\n");
  ASSERT_NE(second, std::string::npos) << log;
  EXPECT_EQ(count_of(log, "Description: "), 1u) << log;
  EXPECT_EQ(count_of(log, " Version: ") - count_of(log, "QEL Loglib Version: "), 2u) << log;
  EXPECT_EQ(log.find("late"), second) << "the late identity changed the open log";
}

TEST_F(ApiTest, ValueFieldTakesTheLowPointerBitsOnly) {
  const std::string log = run_app([&] {
    writelog(LOGBIT_INFO, reinterpret_cast<void*>(uintptr_t{0x123456789abcdef0}), "high %d", 1);
    writelog(LOGBIT_INFO, reinterpret_cast<void*>(uintptr_t{0xfedcba989abcdef0}), "high %s", "2");
    writelog(LOGBIT_ERROR, reinterpret_cast<void*>(uintptr_t{0xffffffff}), "all ones");
    writelog(0x10, nullptr, "not enabled");
    writelog(LOGBIT_INFO, nullptr, "null");
    exit_logging();
  });
  EXPECT_NE(log.find("\r\n9abcdef0 high 1\r\n9abcdef0 high 2\r\nffffffff ERROR all ones\r\n"
                     "00000000 null\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("not enabled"), std::string::npos);
}

TEST_F(ApiTest, SettingsAndQueriesReachTheLog) {
  const std::string log = run_app([&] {
    CQel_Log* process_log = qellog::current_process_log();
    ASSERT_NE(process_log, nullptr);
    EXPECT_EQ(get_logparam_logbits(), 3u);
    set_logparam_logbits(LOGBIT_INTERNAL | 3);
    EXPECT_EQ(get_logparam_logbits(), LOGBIT_INTERNAL | 3);
    set_logparam_filelen(4294967295u);
    EXPECT_EQ(process_log->get_maxfilesize(), 4294967295ul);
    set_logparam_flushlines(7);
    EXPECT_EQ(process_log->get_flushcount(), 7u);

    const long fd = get_logparam_filehandle();
    struct stat by_fd, by_name;
    ASSERT_EQ(fstat(static_cast<int>(fd), &by_fd), 0);
    ASSERT_EQ(stat(log_path().c_str(), &by_name), 0);
    EXPECT_EQ(by_fd.st_ino, by_name.st_ino);

    init_logthread(0);
    EXPECT_TRUE(process_log->thread_run.load());
    exit_logthread_t(5);
    EXPECT_FALSE(process_log->thread_run.load());
    EXPECT_FALSE(process_log->flush_thread.joinable());
    exit_logthread();
    exit_logging();
  });
  EXPECT_NE(log.find("start_flush_thread: thread "), std::string::npos) << log;
  EXPECT_NE(log.find("stop_flush_thread: thread join done"), std::string::npos) << log;
}

TEST_F(ApiTest, FilehandleIsZeroWhenTheLogHasNoFile) {
  // Without O_CREAT the missing file does not open; the log exists all the
  // same, with the mask from the file.
  write_params("app", "app.log", "LogFileFlags=O_APPEND\nLogging=0x5\n");
  in_child([&] {
    std::string name = "app";
    init_logging(text(name));
    ASSERT_NE(qellog::current_process_log(), nullptr);
    EXPECT_EQ(qellog::current_process_log()->get_filehandle(), -1);
    EXPECT_EQ(get_logparam_logbits(), 5u);
    EXPECT_EQ(get_logparam_filehandle(), 0);
    writelog(LOGBIT_ERROR, nullptr, "goes nowhere");
    exit_logging();
  });
  EXPECT_FALSE(file_exists(log_path()));
}

TEST_F(ApiTest, GetLogparamNotUsedCutsTheCallersText) {
  const std::string log = run_app([&] {
    std::string full = "/etc/qel/myhost_param.ini";
    EXPECT_EQ(get_logparam_not_used(text(full)), 0);
    EXPECT_STREQ(full.c_str(), "/etc/qel/myhost");
    std::string bare = "myhost_param.ini";
    EXPECT_EQ(get_logparam_not_used(text(bare)), 0);
    EXPECT_STREQ(bare.c_str(), "myhost");
    std::string no_marker = "/etc/qel/myhost.ini";
    EXPECT_EQ(get_logparam_not_used(text(no_marker)), 0);
    EXPECT_STREQ(no_marker.c_str(), "/etc/qel/myhost.ini");

    // Texts past the 1024-byte buffers; the sanitizer build catches any
    // write beyond them.
    std::string long_dir = "/" + std::string(1500, 'a') + "/name_param.ini";
    EXPECT_EQ(get_logparam_not_used(text(long_dir)), 0);
    EXPECT_STREQ(long_dir.c_str(), ("/" + std::string(1500, 'a') + "/name").c_str());
    std::string long_base = std::string(3000, 'b') + "_param";
    EXPECT_EQ(get_logparam_not_used(text(long_base)), 0);
    EXPECT_EQ(std::strlen(long_base.c_str()), 3000u);
    std::string long_plain(5000, 'c');
    EXPECT_EQ(get_logparam_not_used(text(long_plain)), 0);

    // The process log is not touched.
    EXPECT_EQ(get_logparam_logbits(), 3u);
    writelog(LOGBIT_INFO, nullptr, "still logging");
    exit_logging();
  });
  EXPECT_NE(log.find("00000000 still logging\r\n"), std::string::npos);
}

TEST_F(ApiTest, ConstantTextsReachTheConstOverloads) {
  write_params("app");
  in_child([&] {
    // Literals and const char* go to the const char* overloads; a write
    // into one of them would fault.
    set_logversions("myhost", "2.3.1", "a service", "today");
    const char* name = "app";
    init_logging(name);
    EXPECT_EQ(get_logparam_not_used("/etc/qel/other_param.ini"), 0);
    EXPECT_EQ(get_logparam("ignored"), 0);
    set_logparam_logfilepath("ignored");
    // A char* text still takes the char* function, which cuts it.
    std::string cut = "/etc/qel/third_param.ini";
    get_logparam_not_used(text(cut));
    EXPECT_STREQ(cut.c_str(), "/etc/qel/third");
    writelog(LOGBIT_INFO, nullptr, "const texts");
    exit_logging();
  });
  const std::string log = read_file(log_path());
  EXPECT_NE(log.find("myhost Version: 2.3.1 created today\r\nDescription: a service\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("00000000 const texts\r\n"), std::string::npos) << log;
}

// A service's parameter file in the directory QELLOG_CONFIG_DIR names;
// without a file there, no log, as without one under HOME.
TEST_F(ApiTest, ConfigDirVariableFindsAServicesParameterFile) {
  TempDir etc;
  write_file(etc.file("svc_param.ini"), log_params(home_.file("logs"), "svc.log"));
  chmod(etc.file("svc_param.ini").c_str(), 0644);  // whatever the umask: others may not write
  write_params("other");
  in_child([&] {
    setenv("QELLOG_CONFIG_DIR", etc.path().c_str(), 1);
    init_logging("svc");
    writelog(LOGBIT_INFO, nullptr, "from the service");
    exit_logging();
    init_logging("other");  // only under HOME: not found
    EXPECT_EQ(get_logparam_logbits(), 0u);
  });
  EXPECT_NE(read_file(log_path("svc.log")).find("00000000 from the service\r\n"),
            std::string::npos);
  EXPECT_FALSE(file_exists(log_path()));
}

// QELLOG_CONFIG_DIR names a place: a parameter file there that is missing
// (a typo in the variable) or unreadable is named on standard error, with
// no log; a file there, or no variable and no file under HOME, says nothing.
TEST_F(ApiTest, ConfigDirVariableWithoutAReadableFileSaysSo) {
  TempDir etc;
  chmod(etc.path().c_str(), 0755);
  write_file(etc.file("svc_param.ini"), log_params(home_.file("logs"), "svc.log"));
  const std::string typo = etc.path() + "x";
  const auto said = [](const std::string& dir, const char* base, const char* why) {
    return "qellog: QELLOG_CONFIG_DIR=" + dir + ": cannot read " + dir + "/" + base +
           "_param.ini: " + why + "\n";
  };
  const struct {
    const char* dir;
    const char* base;
    bool as_nobody;
    std::string err;
  } cases[] = {{etc.path().c_str(), "svc", false, ""},
               {typo.c_str(), "svc", false, said(typo, "svc", "No such file or directory")},
               {etc.path().c_str(), "svc", true, said(etc.path(), "svc", "Permission denied")},
               {nullptr, "other", false, ""}};
  chmod(etc.file("svc_param.ini").c_str(), 0600);
  for (const auto& c : cases) {
    const ChildResult r = run_in_child([&] {
      setenv("HOME", home_.path().c_str(), 1);
      c.dir != nullptr ? setenv("QELLOG_CONFIG_DIR", c.dir, 1) : unsetenv("QELLOG_CONFIG_DIR");
      if (c.as_nobody && setuid(65534) != 0) return 2;
      init_logging(c.base);
      return get_logparam_logbits() != 0 ? 10 : 11;
    });
    EXPECT_EQ(r.err, c.err) << c.base;
    EXPECT_EQ(r.status, c.dir != nullptr && c.err.empty() ? 10 : 11) << c.base;
  }
}

// A service in a container logs to its standard output, a pipe:
// Logpath=/dev, Logname=stdout. Every line comes through, nothing under
// /dev is renamed or made, and no error reaches standard error.
TEST_F(ApiTest, LogpathDevAndLognameStdoutLogToAPipe) {
  write_param_file(home_.path(), "svc",
                   log_params("/dev", "stdout",
                              "Logging=0x3\nFlushthread=yes\nFlushcount=5\nMaxfilesize=1kb\n"
                              "Strictsize=yes\nRotatetime=hourly\nReopen=yes\n"));
  const std::vector<std::string> dev_before = list_dir("/dev");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  fcntl(out[1], F_SETPIPE_SZ, 1 << 20);  // read once the child has ended
  const ChildResult r = run_in_child([&] {
    dup2(out[1], 1);
    setenv("HOME", home_.path().c_str(), 1);
    init_logging("svc");
    for (int i = 0; i < 500; ++i) writelog(LOGBIT_INFO, nullptr, "line %03d", i);
    exit_logging();
    return get_logparam_logbits() == 0 ? 0 : 1;
  });
  close(out[1]);
  const std::string got = read_fd(out[0]);
  close(out[0]);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count_of(got, "00000000 line "), 500u);
  EXPECT_NE(got.find("00000000 line 499\r\n"), std::string::npos);
  EXPECT_EQ(count_of(got, "Logging ended at"), 1u);
  EXPECT_EQ(list_dir("/dev"), dev_before);
}

volatile sig_atomic_t g_host_sigpipes = 0;

// The log on standard output, a pipe whose reader exits after a byte.
// Whatever the host does with SIGPIPE, it lives on: each line is lost,
// counted and reported, and the host's action, mask and pending SIGPIPE
// are as they were.
TEST_F(ApiTest, AReaderThatGoesAwayNeverKillsTheHost) {
  write_param_file(home_.path(), "svc",
                   log_params("/dev", "stdout", "Logging=0x3\nFlushthread=yes\nFlushcount=3\n"));
  const char* const kHosts[] = {"default action", "a handler", "blocked, one pending"};
  for (int host = 0; host < 3; ++host) {
    SCOPED_TRACE(kHosts[host]);
    const OneByteReader reader = start_one_byte_reader();
    ASSERT_NE(reader.pid, -1);
    const ChildResult r = run_in_child([&] {
      dup2(reader.write_fd, 1);
      setenv("HOME", home_.path().c_str(), 1);
      sigset_t sigpipe;
      sigemptyset(&sigpipe);
      sigaddset(&sigpipe, SIGPIPE);
      if (host == 1) signal(SIGPIPE, [](int) { g_host_sigpipes = g_host_sigpipes + 1; });
      if (host == 2) {
        pthread_sigmask(SIG_BLOCK, &sigpipe, nullptr);
        raise(SIGPIPE);
      }
      init_logging("svc");
      pollfd gone{1, POLLOUT, 0};
      EXPECT_TRUE(wait_until([&] { return poll(&gone, 1, 0) == 1 && gone.revents & POLLERR; }));
      const unsigned long before = get_logparam_lostlines();
      for (int i = 0; i < 100; ++i) writelog(LOGBIT_INFO, nullptr, "line %d", i);
      EXPECT_EQ(get_logparam_lostlines() - before, 100u);
      exit_logging();
      sigset_t mask, pending;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      sigpending(&pending);
      EXPECT_EQ(sigismember(&mask, SIGPIPE) + sigismember(&pending, SIGPIPE), host == 2 ? 2 : 0);
      EXPECT_EQ(g_host_sigpipes, 0);
      EXPECT_EQ(write(1, "x", 1), -1);  // the default action ends the host here
      EXPECT_EQ(g_host_sigpipes, host == 1 ? 1 : 0);
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    close(reader.write_fd);
    waitpid(reader.pid, nullptr, 0);
    EXPECT_EQ(r.status, host == 0 ? 128 + SIGPIPE : 0) << r.err;
    // The lines, the end trailer and, when the reader went first, the banner.
    const size_t errors = count_of(r.err, "Error in write to logfile /dev/stdout: 32\n");
    EXPECT_TRUE(errors == 101 || errors == 102) << r.err;
  }
}

void log_from_key_destructor(void*) {
  writelog(LOGBIT_INFO, nullptr, "from a thread-exit destructor");
}

TEST_F(ApiTest, ThreadExitDestructorsCanStillLog) {
  const std::string log = run_app([&] {
    // Created after the library's own key, so its destructor runs after
    // the thread's slot has been handed back.
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, &log_from_key_destructor), 0);
    std::thread([&] {
      writelog(LOGBIT_INFO, nullptr, "thread line");
      pthread_setspecific(key, &key);
    }).join();
    std::thread([] { writelog(LOGBIT_INFO, nullptr, "next thread line"); }).join();
    exit_logging();
  });
  EXPECT_NE(log.find("00000000 thread line\r\n00000000 from a thread-exit destructor\r\n"
                     "00000000 next thread line\r\n"),
            std::string::npos)
      << log;
}

TEST_F(ApiTest, MoreLiveThreadsThanStaticSlots) {
  constexpr int kThreads = 100;
  const std::string log = run_app([&] {
    // All threads stay alive until every one has logged, so none can hand
    // its slot to another.
    std::atomic<int> logged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        writelog(LOGBIT_INFO, nullptr, "thread %03d", t);
        ++logged;
        while (logged.load() < kThreads) std::this_thread::yield();
      });
    }
    for (std::thread& t : threads) t.join();
    exit_logging();
  });
  for (int t = 0; t < kThreads; ++t) {
    char line[32];
    std::snprintf(line, sizeof line, "00000000 thread %03d\r\n", t);
    EXPECT_EQ(count_of(log, line), 1u) << line;
  }
}

// "0000000<t> writer <t> line <n> " and 40 'x', whole.
bool is_writer_line(const std::string& line) {
  unsigned tag = 0;
  int writer = -1, n = -1;
  if (std::sscanf(line.c_str(), "%8x writer %d line %d", &tag, &writer, &n) != 3) return false;
  char expected[128];
  std::snprintf(expected, sizeof expected, "%08x writer %d line %d %s", tag, writer, n,
                std::string(40, 'x').c_str());
  return tag < 4 && static_cast<int>(tag) == writer && line == expected;
}

// Classifies the lines of a log file written by repeated init/exit cycles
// and checks that every host line is whole and lies inside a cycle.
void check_cycles(const std::string& log, size_t cycles) {
  bool open = false;
  size_t headers = 0, trailers = 0, lines = 0;
  for (const std::string& line : split_crlf(log)) {
    if (line.rfind("Logfile: ", 0) == 0) {
      EXPECT_FALSE(open) << "header inside an open cycle";
      open = true;
      ++headers;
    } else if (line.rfind("Logging ended at ", 0) == 0) {
      EXPECT_TRUE(open) << "trailer outside a cycle";
      open = false;
      ++trailers;
    } else if (line.empty() || line == std::string(72, '-')) {
    } else if (open &&
               (line.rfind("Logging started at ", 0) == 0 ||
                line.rfind("QEL Loglib Version: ", 0) == 0 || line == " Version:  created ")) {
    } else if (open && is_writer_line(line)) {
      ++lines;
    } else {
      ADD_FAILURE() << "unexpected line: '" << line << "'";
    }
  }
  EXPECT_FALSE(open);
  EXPECT_EQ(headers, cycles);
  EXPECT_EQ(trailers, cycles);
  EXPECT_GT(lines, 0u);
}

TEST_F(ApiTest, WritersRacingExitLoggingNeverUseADestroyedLog) {
  constexpr int kWriters = 4;
  constexpr size_t kCycles = 15;
  // Four writers that never pause can fill the default limit: one file.
  write_params("app", "app.log", "Flushcount=20\nFlushthread=yes\nMaxfilesize=1000Mb\n");
  in_child([&] {
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    const std::string pad(40, 'x');
    for (int t = 0; t < kWriters; ++t) {
      writers.emplace_back([&, t] {
        void* tag = reinterpret_cast<void*>(static_cast<uintptr_t>(t));
        for (int i = 0; !stop.load(); ++i) {
          writelog(LOGBIT_INFO, tag, "writer %d line %d %s", t, i, pad.c_str());
          if (i % 64 == 0) set_logparam_flushlines(20);
          if (i % 64 == 32) (void)get_logparam_logbits();
        }
      });
    }
    std::string name = "app";
    for (size_t cycle = 0; cycle < kCycles; ++cycle) {
      init_logging(text(name));
      const unsigned long start = file_size(log_path());
      EXPECT_TRUE(wait_until([&] { return file_size(log_path()) > start + 4000; }))
          << "cycle " << cycle;
      exit_logging();
    }
    stop = true;
    for (std::thread& w : writers) w.join();
  });
  check_cycles(read_file(log_path()), kCycles);
}

}  // namespace
