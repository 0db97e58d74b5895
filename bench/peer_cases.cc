// Peers writing the same message: spdlog flushing every line (the same
// durability as qellog), buffered, and asynchronous.
#ifdef QELLOG_BENCH_SPDLOG

#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "bench_util.h"

namespace {

using qbench::kValue;

struct PeerRun {
  std::string dir;
  std::shared_ptr<spdlog::logger> logger;
  long long lines[64] = {};
  std::atomic<int> finished{0};
};
PeerRun g_peer;

enum class Mode { kFlushEachLine, kBuffered, kAsync };

void run_spdlog(benchmark::State& state, Mode mode, const char* name) {
  if (state.thread_index() == 0) {
    g_peer.dir = qbench::fresh_dir(name);
    g_peer.finished.store(0);
    const std::string path = g_peer.dir + "/spdlog.log";
    if (mode == Mode::kAsync) {
      spdlog::init_thread_pool(8192, 1);
      g_peer.logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>(name, path);
    } else {
      g_peer.logger = std::make_shared<spdlog::logger>(
          name, std::make_shared<spdlog::sinks::basic_file_sink_mt>(path));
    }
    if (mode == Mode::kFlushEachLine) g_peer.logger->flush_on(spdlog::level::trace);
  }
  const int w = state.thread_index();
  int i = 0;
  for (auto _ : state) {
    g_peer.logger->info("worker {} iteration {} value {:f}", w, i, kValue);
    ++i;
  }
  g_peer.lines[w] = i;
  g_peer.finished.fetch_add(1);
  state.SetItemsProcessed(i);
  if (state.thread_index() != 0) return;
  while (g_peer.finished.load() != state.threads()) std::this_thread::yield();
  g_peer.logger->flush();
  g_peer.logger.reset();
  spdlog::drop_all();
  if (mode == Mode::kAsync) spdlog::shutdown();
  qbench::verify_lines(state, g_peer.dir, state.threads(), g_peer.lines);
  qbench::remove_dir(g_peer.dir);
}

void BM_spdlog_flush_each_line(benchmark::State& state) {
  run_spdlog(state, Mode::kFlushEachLine, "spdlog_flush_each_line");
}
void BM_spdlog_buffered(benchmark::State& state) {
  run_spdlog(state, Mode::kBuffered, "spdlog_buffered");
}
void BM_spdlog_async(benchmark::State& state) { run_spdlog(state, Mode::kAsync, "spdlog_async"); }

}  // namespace

BENCHMARK(BM_spdlog_flush_each_line)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_spdlog_buffered)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_spdlog_async)->Threads(1)->Threads(2)->UseRealTime();

#endif  // QELLOG_BENCH_SPDLOG
