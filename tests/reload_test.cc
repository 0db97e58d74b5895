// Reloading the parameter file in place: what a reload changes and what a
// failed one leaves, where the log moves and under which rules, the trace,
// and that four writers lose no line and get none twice across reloads
// that change the mask, the flush count and the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/process_log.h"
#include "config/ini_keys.h"
#include "log/log_files.h"
#include "log_test_util.h"
#include "qellog/api.h"
#include "qellog/ini.h"

using namespace qellog_test;

namespace {

class ReloadTest : public ::testing::Test {
 protected:
  // The parameter file of "app": the log `logname` in `logdir`, and `more`.
  void params(const std::string& logdir, const std::string& logname, const std::string& more) {
    write_param_file(home, "app", log_params(logdir, logname, more));
  }

  TempDir dir;
  ScopedEnv tz{"TZ", "UTC0"};
  std::string home = dir.file("home");
  ScopedEnv home_env{"HOME", home.c_str()};
  ScopedEnv config_dir{"QELLOG_CONFIG_DIR", nullptr};
};

// The settings a case looks at, in one line.
std::string settings(CQel_Log& log) {
  const char* net = log.get_classname(0x10);
  const char* old = log.get_classname(0x20);
  char text[200];
  std::snprintf(text, sizeof text,
                "mask %x flush %u count %lu age %lu iso %d lf %u %s %s gen %d lag %lu",
                log.get_logbits(), log.get_flushcount(), log.get_maxfilecount(),
                log.get_maxfileage(), log.get_isotime(), log.get_lineend(), net ? net : "-",
                old ? old : "-", log.get_generations(), log.get_shiplag());
  return text;
}

// Whether a process holds `path` open as its live file.
qellog::Writers writers(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const qellog::Writers w = qellog::live_writers(fd);
  close(fd);
  return w;
}

// Each case starts from a log built from the same file and changes the
// file (or not) before one reload, then writes "after".
TEST_F(ReloadTest, AReloadAppliesTheFileOrChangesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's file needs root";
  const std::string logs = dir.file("logs");
  const std::string moved = dir.file("new");
  const std::string shared = dir.file("shared");
  const std::string unchanged = "mask 3 flush 7 count 0 age 9 iso 1 lf 0 - OLD gen 0 lag 0";
  const struct {
    const char* what;
    std::function<void()> change;
    unsigned rc;
    std::string file;    // the log's file afterwards
    const char* traced;  // in the reload's trace
    std::string want;    // settings()
  } cases[] = {
      {"missing file", [&] { unlink(param_file(home, "app").c_str()); }, INI_ERR_LOAD_FILE,
       logs + "/app.log", "reload_log_from_ini: loading file", unchanged},
      {"file others may write", [&] { chmod(param_file(home, "app").c_str(), 0666); },
       INI_ERR_LOAD_FILE, logs + "/app.log", "reload_log_from_ini: parameter file", unchanged},
      {"new settings, gone ones as without them, same file",
       [&] {
         params(
             logs, "app.log",
             "Logging=0x7\nFlushcount=5\nMaxfilecount=3\nLineend=lf\nGenerations=yes\nShiplag=60\n"
             "[CLASSES]\nNET=0x10\n");
       },
       INI_SUCCESS, logs + "/app.log", "reload_log_from_ini: log stays in",
       "mask 7 flush 5 count 3 age 0 iso 0 lf 1 NET - gen 1 lag 60"},
      {"another Logpath and Logname", [&] { params(moved, "moved.log", "Logging=0x3\n"); },
       INI_SUCCESS, moved + "/moved.log", "reload_log_from_ini: log moved from",
       "mask 3 flush 1000 count 0 age 0 iso 0 lf 0 - - gen 0 lag 0"},
      {"a name another user holds",
       [&] {
         mkdir(shared.c_str(), 0755);
         chmod(shared.c_str(), 01777);
         write_file(shared + "/moved.log", "");
         chown((shared + "/moved.log").c_str(), nobody_uid(), nobody_gid());
         params(shared, "moved.log", "Logging=0x7\n");
       },
       INI_ERR_NOT_FOUND, logs + "/app.log", "reload_log_from_ini: open ", unchanged},
  };
  const std::string old_log = logs + "/app.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    params(logs, "app.log", "Flushcount=7\nIsotime=yes\nMaxfileage=9\n[CLASSES]\nOLD=0x20\n");
    for (const std::string& n : list_dir(logs)) unlink((logs + "/" + n).c_str());
    unlink(dir.file("trace.log").c_str());
    CQel_Log trace(dir.file("trace.log").c_str(), kCreate, 0644);
    std::unique_ptr<CQel_Log> log(CQel_ini("app").create_log_from_ini());
    ASSERT_NE(log, nullptr);
    log->set_lib_vers("app", "1.0", "today");
    log->writelog(LOGBIT_INFO, "before");
    c.change();
    CQel_ini ini("app");
    ini.set_ini_log(&trace);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ini.reload_log_from_ini(log.get()), c.rc);
    const std::string err = testing::internal::GetCapturedStderr();
    log->writelog(LOGBIT_INFO, "after");
    EXPECT_EQ(settings(*log), c.want);
    EXPECT_EQ(std::string(log->filename), c.file);
    EXPECT_NE(read_file(dir.file("trace.log")).find(c.traced), std::string::npos);
    // One start header and banner in the file written to, and "after";
    // the lines of each end of a move in their own file.
    const std::string text = read_file(c.file);
    const std::string old_text = read_file(old_log);
    const bool moves = c.file != old_log;
    // Turned on by a reload, the current file has its rotated name at once.
    EXPECT_EQ(rotated_files(logs, "app", ".log").size(), log->get_generations() ? 1u : 0u);
    EXPECT_EQ(text.rfind("Logfile: " + c.file + "\r\n", 0), 0u) << text;
    EXPECT_EQ(count_of(text, "Logfile: "), 1u);
    EXPECT_EQ(count_of(text, "app Version: 1.0 created today"), 1u);
    EXPECT_EQ(count_of(text, c.rc == INI_SUCCESS && !moves ? "\nafter\n" : "\nafter\r\n"), 1u);
    EXPECT_EQ(count_of(text, "before"), moves ? 0u : 1u);
    EXPECT_EQ(ends_with_trailer(old_text), moves);
    EXPECT_EQ(count_of(old_text, "after"), moves ? 0u : 1u);
    // The live file's lock, which retention tests, goes with the move.
    EXPECT_EQ(writers(c.file), qellog::Writers::kSome);
    EXPECT_EQ(writers(old_log), moves ? qellog::Writers::kNone : qellog::Writers::kSome);
    if (moves) {
      // Its rotations go on in the new place.
      log->create_next_file();
      EXPECT_EQ(rotated_files(moved, "moved", ".log").size(), 1u);
      EXPECT_EQ(rotated_files(logs, "app", ".log").size(), 0u);
    }
    if (c.rc == INI_ERR_NOT_FOUND) {
      EXPECT_NE(err.find("qellog: the log file " + shared + "/moved.log refused: "),
                std::string::npos)
          << err;
      EXPECT_EQ(read_file(shared + "/moved.log"), "");
    }
  }
  // Without a log there is nothing to reload.
  EXPECT_EQ(CQel_ini("app").reload_log_from_ini(nullptr), INI_ERR_NOT_FOUND);
}

// A key gone from the file gives the log what a log has without it: its
// value for absence, applied after the example's, reads back as a fresh
// log's. Flushthread alone stays as it is without its key.
TEST_F(ReloadTest, AGoneKeyGivesWhatALogHasWithoutIt) {
  CQel_ini ini("app");
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const qellog::IniKey& key = qellog::kLogKeys[i];
    if (key.apply == nullptr || key.absent == nullptr) continue;
    SCOPED_TRACE(key.name);
    CQel_Log fresh(dir.file("fresh.log").c_str(), kCreate, 0644);
    CQel_Log log(dir.file("changed.log").c_str(), kCreate, 0644);
    qellog::SettingStep step{ini, log, key.example, false, qellog::kCreateOp};
    if (key.example != nullptr) key.apply(step);
    step.text = key.absent;
    key.apply(step);
    EXPECT_EQ(key.in_force(log), key.in_force(fresh));
  }
  params(dir.file("logs"), "app.log", "Logging=0x3\n");
  std::unique_ptr<CQel_Log> log(ini.create_log_from_ini());
  ASSERT_NE(log, nullptr);
  const struct {
    const char* more;
    bool runs;
  } steps[] = {{"Flushthread=yes\n", true}, {"", true}, {"Flushthread=no\n", false}, {"", false}};
  for (const auto& step : steps) {
    params(dir.file("logs"), "app.log", step.more);
    EXPECT_EQ(ini.reload_log_from_ini(log.get()), INI_SUCCESS);
    EXPECT_EQ(log->thread_run.load(), step.runs) << step.more;
  }
}

// The process log with four writers while reloads change the mask, the
// flush count, and the file (to another Logpath and Logname and back),
// three rounds, with the flush thread rotating (and retention looking at
// the directory) all the while.
TEST_F(ReloadTest, FourWritersLoseNothingAcrossReloads) {
  constexpr size_t kWriters = 4;
  constexpr int kMaxLines = 200000;
  constexpr int kRounds = 3;
  constexpr char kPayload[] = "written across reloads";
  const std::string a = dir.file("a");
  const std::string b = dir.file("b");
  const std::string common =
      "Flushthread=yes\nMaxfilesize=64kb\nStrictsize=yes\nMaxfilecount=1000\n";
  const struct {
    std::string logdir, logname, more;
    unsigned bits, flushcount;
  } reloads[] = {
      {a, "app.log", "Logging=0x7\nFlushcount=1000\n", 7, 1000},
      {a, "app.log", "Logging=0x7\nFlushcount=50\n", 7, 50},
      {b, "moved.log", "Logging=0x3\nFlushcount=50\n", 3, 50},
      {a, "app.log", "Logging=0x3\nFlushcount=20\n", 3, 20},
  };
  params(a, "app.log", common + "Logging=0x3\n");
  const ChildResult r = run_in_child([&] {
    set_logversions("app", "1.0", "", "today");
    init_logging("app");
    std::atomic<bool> stop{false};
    std::atomic<int> written[kWriters] = {};
    std::vector<std::thread> writers;
    for (int w = 0; w < static_cast<int>(kWriters); ++w) {
      writers.emplace_back([&, w] {
        char line[100];
        for (int n = 0; n < kMaxLines && !stop.load(); ++n) {
          const int len = std::snprintf(line, sizeof line, "W%d N%d %s", w, n, kPayload);
          writelog_text(LOGBIT_INFO, line, static_cast<unsigned long>(len));
          written[static_cast<size_t>(w)].store(n + 1);
        }
      });
    }
    auto total = [&] {
      int sum = 0;
      for (const auto& n : written) sum += n.load();
      return sum;
    };
    for (int round = 0; round < kRounds; ++round) {
      for (const auto& step : reloads) {
        // Each reload comes while the writers are busy.
        const int seen = total();
        EXPECT_TRUE(wait_until([&] { return total() >= seen + 2000; }, 20000));
        params(step.logdir, step.logname, common + step.more);
        EXPECT_EQ(reload_logging(), 0);
        EXPECT_EQ(get_logparam_logbits(), step.bits);
        EXPECT_EQ(qellog::current_process_log()->get_flushcount(), step.flushcount);
      }
    }
    const int seen = total();
    EXPECT_TRUE(wait_until([&] { return total() >= seen + 2000; }, 20000));
    stop = true;
    for (std::thread& t : writers) t.join();
    EXPECT_EQ(get_logparam_lostlines(), 0u);
    exit_logging();
    // Every line written once, in one of the two files.
    const Census in_a = census(a, kWriters, kMaxLines, kPayload);
    const Census in_b = census(b, kWriters, kMaxLines, kPayload);
    EXPECT_EQ(in_a.torn + in_b.torn, 0u);
    size_t wrong = 0;
    for (size_t w = 0; w < kWriters; ++w) {
      for (size_t n = 0; n < kMaxLines; ++n) {
        const int want = n < static_cast<size_t>(written[w].load()) ? 1 : 0;
        wrong += in_a.seen[w][n] + in_b.seen[w][n] != want;
      }
    }
    EXPECT_EQ(wrong, 0u);
    // Start headers and trailers only where the log moved: at the start
    // and at each return to a, at each move to b. Rotations begin their
    // files with continuation headers.
    std::string text_a, text_b;
    for (const std::string& f : list_dir(a)) text_a += read_file(a + "/" + f);
    for (const std::string& f : list_dir(b)) text_b += read_file(b + "/" + f);
    EXPECT_EQ(count_of(text_a, "Logfile: "), kRounds + 1u);
    EXPECT_EQ(count_of(text_a, "Logging ended at "), kRounds + 1u);
    EXPECT_EQ(count_of(text_b, "Logfile: "), 1u * kRounds);
    EXPECT_EQ(count_of(text_b, "Logging ended at "), 1u * kRounds);
    EXPECT_TRUE(ends_with_trailer(read_file(b + "/moved.log")));
    EXPECT_FALSE(rotated_files(a, "app", ".log").empty());
    EXPECT_FALSE(rotated_files(b, "moved", ".log").empty());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err;
}

}  // namespace
