// Flush requests, the flush thread's life cycle and its hand-over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

// Lines of the engine's own diagnostics, without prefix fields.
constexpr unsigned kDiag = LOGBIT_INTERNAL | 3;

class FlushTest : public LogTest {
 protected:
  FlushTest() { log = open_log(path); }
};

TEST_F(FlushTest, DefaultCadenceIsTheThousandAndFirstWrite) {
  log->set_logbits(kDiag);
  for (int i = 2; i <= 1000; ++i) log->writelog(2, "line %d", i);
  EXPECT_EQ(log->get_msgcount(), 1000u);
  EXPECT_EQ(count("flushlog: flushlog start 1001"), 0u);
  log->writelog(2, "line 1001");
  const std::vector<std::string> l = lines();
  ASSERT_GE(l.size(), 3u);
  EXPECT_EQ(l[l.size() - 3], "line 1001");
  EXPECT_EQ(l[l.size() - 2], "flushlog: flushlog start 1001");
  EXPECT_EQ(l[l.size() - 1], "flushlog: flushlog done 1");
  EXPECT_EQ(log->get_msgcount(), 2u);
}

TEST_F(FlushTest, SmallFlushCountsNeitherRecurseNorLoseLines) {
  log->set_logbits(kDiag);
  log->set_flushcount(0);
  log->writelog(2, "A");
  log->writelog(2, "B");
  const std::vector<std::string> expected = {
      "A", "flushlog: flushlog start 2", "flushlog: flushlog done 1",
      "B", "flushlog: flushlog start 3", "flushlog: flushlog done 1"};
  // The header was the first counted write; a new flushcount keeps the count.
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(log->get_msgcount(), 2u);

  for (unsigned flushcount : {1u, 2u}) {
    TempDir d;
    CQel_Log small(d.file("s.log").c_str(), kCreate, 0644);
    small.set_logbits(kDiag);
    small.set_flushcount(flushcount);
    for (int i = 0; i < 50; ++i) small.writelog(2, "n%d", i);
    const std::vector<std::string> l = body_lines(d.file("s.log"));
    size_t host = 0;
    for (const std::string& s : l) host += s[0] == 'n';
    EXPECT_EQ(host, 50u) << flushcount;
  }
}

TEST_F(FlushTest, DirectFlushResetsTheCount) {
  log->set_logbits(kDiag);
  log->writelog(2, "x");
  log->flushlog();
  EXPECT_EQ(count("flushlog: flushlog start 2"), 1u);
  EXPECT_EQ(log->get_msgcount(), 2u);
  CQel_Log closed("", kCreate, 0644);
  closed.set_logbits(kDiag);
  closed.msgcount = 7;
  closed.flushlog();
  EXPECT_EQ(closed.get_msgcount(), 7u);
}

TEST_F(FlushTest, StopWithoutThreadIsSilent) {
  log->set_logbits(kDiag);
  EXPECT_EQ(log->stop_flush_thread(), 0);
  EXPECT_EQ(log->stop_flush_thread(), 0);
  EXPECT_TRUE(lines().empty());
}

TEST_F(FlushTest, ThreadLifeCycle) {
  log->set_logbits(kDiag);
  EXPECT_EQ(log->start_flush_thread(), 0);
  EXPECT_TRUE(log->thread_run.load());
  EXPECT_TRUE(log->flush_thread.joinable());
  ASSERT_TRUE(wait_until([&] { return count("msg_flush_thread: vor wait") == 1; }));
  EXPECT_EQ(count("msg_flush_thread: start"), 1u);
  // A second start reports and changes nothing.
  EXPECT_EQ(log->start_flush_thread(), 0);
  EXPECT_EQ(count("start_flush_thread: thread already running"), 1u);

  // A request wakes it: it syncs and waits again.
  log->flushlog();
  ASSERT_TRUE(wait_until([&] { return count("msg_flush_thread: fsync done") == 1; }));
  ASSERT_TRUE(wait_until([&] { return count("msg_flush_thread: vor wait") == 2; }));
  EXPECT_EQ(count("flushlog: notify done"), 1u);

  // A stop while it waits wakes it; it reports and ends.
  EXPECT_EQ(log->stop_flush_thread(), 0);
  EXPECT_FALSE(log->thread_run.load());
  EXPECT_FALSE(log->flush_thread.joinable());
  EXPECT_EQ(count("msg_flush_thread: thread_run false break_loop"), 1u);
  EXPECT_EQ(count("stop_flush_thread: thread join done"), 1u);
  EXPECT_EQ(log->stop_flush_thread(), 0);
  EXPECT_EQ(count("stop_flush_thread: thread join done"), 1u);

  // Without a thread the sync is inline again; then a new thread serves.
  log->flushlog();
  EXPECT_EQ(count("flushlog: notify done"), 1u);
  EXPECT_EQ(log->start_flush_thread(), 0);
  ASSERT_TRUE(wait_until([&] { return count("msg_flush_thread: vor wait") == 3; }));
  log->flushlog();
  ASSERT_TRUE(wait_until([&] { return count("msg_flush_thread: fsync done") == 2; }));
}

TEST_F(FlushTest, DestructionJoinsAThreadWhoseFlagWasClearedFromOutside) {
  const ChildResult r = run_in_child([&] {
    log->start_flush_thread();
    log->thread_run.store(false);  // a host's mistake, not a stop
    log.reset();
    return 0;
  });
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(FlushTest, StopAlwaysEndsTheThread) {
  // Stops that land anywhere in the thread's loop, the window between its
  // loop test and its wait included, must all let the join return. A hang
  // here is caught by the alarm in the child.
  const ChildResult r = run_in_child([&] {
    alarm(60);
    for (int i = 0; i < 3000; ++i) {
      log->start_flush_thread();
      if (i % 3 == 1) log->flushlog();
      if (i % 3 == 2) std::this_thread::yield();
      log->stop_flush_thread();
      if (log->thread_run.load() || log->flush_thread.joinable()) return 1;
    }
    return 0;
  });
  EXPECT_EQ(r.status, 0);
}

TEST_F(FlushTest, FlushThreadLinesNeverDeadlockOnTheirOwnRequests) {
  // With the diagnostics on and flushcount 0, every line of the flush
  // thread (also the one it writes while holding flush_mutex) crosses the
  // threshold.
  const ChildResult r = run_in_child([&] {
    alarm(60);
    log->set_logbits(kDiag);
    log->set_flushcount(0);
    log->start_flush_thread();
    std::thread a([&] {
      for (int i = 0; i < 2000; ++i) log->writelog(2, "host a%d", i);
    });
    for (int i = 0; i < 2000; ++i) log->writelog(2, "host m%d", i);
    a.join();
    log->stop_flush_thread();
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  size_t host = 0;
  for (const std::string& l : lines()) host += l.compare(0, 5, "host ") == 0;
  EXPECT_EQ(host, 4000u);
}

}  // namespace
