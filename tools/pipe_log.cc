// `qellog NAME`: standard input into the log of NAME.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "dry_run.h"
#include "line_split.h"
#include "log/message_filter.h"
#include "qellog/ini.h"
#include "say.h"

namespace qellog_tool {
namespace {

volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int sig) { g_stop_signal = sig; }

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Blocks the stop signals in this thread and every thread it starts later
// (the log's flush thread among them), so that only the read loop sees
// them, and only inside ppoll(). Returns the mask to wait with.
sigset_t catch_stop_signals() {
  sigset_t stops;
  sigemptyset(&stops);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kStopSignals) {
    sigaddset(&stops, sig);
    sigaction(sig, &sa, nullptr);  // no SA_RESTART: the wait must end
  }
  sigset_t wait_mask;
  pthread_sigmask(SIG_BLOCK, &stops, &wait_mask);
  for (int sig : kStopSignals) sigdelset(&wait_mask, sig);
  return wait_mask;
}

// 0 and the parameter file's name in `param` when the library can read
// it; otherwise says why on stderr and returns the exit status.
int check_param_file(const char* name, std::string* param) {
  if (!param_file_of(name, param)) return kExitNoLog;
  qellog::PathRefusal refused;
  const int err = param_file_errno(*param, &refused);
  if (err == 0) return kExitOk;
  if (err == ENOENT) {
    say(stderr, "qellog: no parameter file for \"%s\": %s does not exist", name, param->c_str());
    say(stderr, "qellog: create one with: qellog --init %s", name);
  } else {
    say(stderr, "qellog: cannot read the parameter file %s: %s", param->c_str(),
        param_problem(err, refused).c_str());
  }
  return kExitNoLog;
}

// Names the file the set-up tried and the reason, as the library's own
// prediction of its open gives it.
void report_no_log_file(const char* name, const std::string& param, const CQel_Log* log) {
  if (log == nullptr) {
    say(stderr, "qellog: the set-up built no log from %s", param.c_str());
    return;
  }
  // The object does not show its open flags: a dry run of the same set-up
  // tells them, and so why the open failed.
  const DryRun run = dry_run(name);
  qellog::PathRefusal why;
  const int err = run.built ? predict_open(run, &why) : 0;
  const std::string reason = why.reason != nullptr ? refusal_text(why)
                             : err != 0            ? std::strerror(err)
                                                   : "";
  say(stderr, "qellog: cannot open the log file %s%s%s", log->filename, reason.empty() ? "" : ": ",
      reason.c_str());
  say(stderr,
      "qellog: check the parameter file %s; qellog --check %s shows "
      "what the set-up does",
      param.c_str(), name);
}

void warn_if_filtered(const std::string& param, unsigned flags, unsigned mask) {
  if (qellog::message_passes(flags, mask)) return;
  say(stderr,
      "qellog: warning: the flag word 0x%x shares no bit with the "
      "mask 0x%x of %s; no line will be written",
      flags, mask, param.c_str());
}

// The log of `name` as init_logging builds it: the set-up, then the
// tool's banner. Null when the reader built none.
CQel_Log* open_log(const char* name) {
  CQel_ini ini(name);
  CQel_Log* log = ini.create_log_from_ini();
  if (log == nullptr) return nullptr;
  // The description first: the banner has its line only when it was set.
  log->set_lib_desc("lines from standard input");
  log->set_lib_vers("qellog", QELLOG_TOOL_VERSION, "");
  return log;
}

// Ends the process by `sig` with its default action, as a shell expects
// from a program that a signal stopped.
int die_by(int sig) {
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  return 128 + sig;  // not reached for the stop signals
}

// True when the log writes to a pipe or socket whose reader has gone:
// every further line would be lost, with one error line each.
bool reader_gone(CQel_Log& log) {
  pollfd out = {log.get_filehandle(), POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

// Feeds standard input to `splitter` until its end, a stop signal or
// `*gone`. kExitOk, kExitNoLog after a read error, or 128 + the signal.
int read_input(LineSplitter& splitter, const sigset_t& wait_mask, const bool* gone) {
  char buf[65536];
  for (;;) {
    if (g_stop_signal != 0) return 128 + g_stop_signal;
    if (*gone) return kExitOk;
    pollfd in = {STDIN_FILENO, POLLIN, 0};
    if (ppoll(&in, 1, nullptr, &wait_mask) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n > 0) {
      splitter.feed(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return kExitOk;
    } else if (errno != EINTR && errno != EAGAIN) {
      break;
    }
  }
  say(stderr, "qellog: reading standard input failed: %s", std::strerror(errno));
  return kExitNoLog;
}

}  // namespace

int pipe_to_log(const char* name, unsigned flags) {
  std::string param;
  if (const int status = check_param_file(name, &param)) return status;

  // Before the set-up: the flush thread it starts inherits the mask.
  const sigset_t wait_mask = catch_stop_signals();
  std::unique_ptr<CQel_Log> log(open_log(name));
  if (log == nullptr || log->get_filehandle() == -1) {
    report_no_log_file(name, param, log.get());
    return kExitNoLog;
  }
  warn_if_filtered(param, flags, log->get_logbits());

  CQel_Log* out = log.get();
  // Once the log's reader has gone (a pipe to a program that ended), the
  // tool stops reading, as a filter killed by SIGPIPE would, but ends with
  // kExitLost. A log whose lines may be longer (Maxlinelength) takes longer
  // pieces.
  bool gone = false;
  unsigned long lost_seen = 0;
  LineSplitter splitter(
      [&](unsigned long line, const std::string& text) {
        if (gone) return;
        // The value field shows the input line number; pieces of one line
        // share it. The text is an argument, never the format.
        out->writelog(flags, static_cast<int>(static_cast<uint32_t>(line)), "%s", text.c_str());
        const unsigned long lost = out->get_lostcount();
        if (lost != lost_seen) {
          lost_seen = lost;
          gone = reader_gone(*out);
        }
      },
      log->get_maxlinelength() - kPrefixRoom);
  const int status = read_input(splitter, wait_mask, &gone);
  // Whatever stopped the input, the line begun so far is kept.
  splitter.finish();
  const unsigned long lost = log->get_lostcount();
  const std::string path = log->filename;
  log.reset();  // end trailer
  if (status > 128) return die_by(status - 128);
  if (lost == 0 || status != kExitOk) return status;
  say(stderr, "qellog: %lu log lines could not be written to %s", lost, path.c_str());
  return kExitLost;
}

}  // namespace qellog_tool
