// `qellog NAME`: standard input into the process-wide log of NAME.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "line_split.h"
#include "qellog/api.h"
#include "qellog/ini.h"

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

// 0 and the parameter file's name in `param` when it can be read;
// otherwise says why on stderr and returns the exit status.
int check_param_file(const char* name, char (&param)[1024]) {
  CQel_ini ini(name);
  if (ini.get_ini_filename(param, sizeof param) != INI_SUCCESS) {
    std::fprintf(stderr,
                 "qellog: the parameter file name of \"%s\" does not fit "
                 "1021 characters (is HOME too long?)\n",
                 name);
    return kExitNoLog;
  }
  if (access(param, R_OK) == 0) return kExitOk;
  const int err = errno;
  if (err == ENOENT) {
    std::fprintf(stderr,
                 "qellog: no parameter file for \"%s\": %s does not exist\n"
                 "qellog: create one with: qellog --init %s\n",
                 name, param, name);
  } else {
    std::fprintf(stderr, "qellog: cannot read the parameter file %s: %s\n",
                 param, std::strerror(err));
  }
  return kExitNoLog;
}

void report_no_log_file(const char* name, const char* param) {
  char default_log[1024] = "";
  CQel_ini ini(name);
  ini.get_default_logname(default_log, sizeof default_log);
  std::fprintf(stderr,
               "qellog: %s was read, but no log file could be opened\n"
               "qellog: check Logpath and Logname (the directory must exist or "
               "its parent must), and LogFileFlags (O_CREAT creates the file)\n"
               "qellog: without Logpath and Logname the log is %s, whose "
               "directory is not created for you\n",
               param, default_log);
}

void warn_if_filtered(const char* param, unsigned flags) {
  const unsigned mask = get_logparam_logbits();
  const unsigned effective = flags != 0 ? flags : LOGBIT_ERROR;
  if ((effective & mask) != 0) return;
  std::fprintf(stderr,
               "qellog: warning: the flag word 0x%x shares no bit with the "
               "mask 0x%x (Logging in %s); no line will be written\n",
               flags, mask, param);
}

void log_piece(unsigned flags, unsigned long line, const std::string& text) {
  // The value field shows the input line number; pieces of one line share
  // it. The text is an argument, never the format.
  void* line_tag = reinterpret_cast<void*>(static_cast<uintptr_t>(line));
  writelog(flags, line_tag, "%s", text.c_str());
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

// Feeds standard input to `splitter` until its end or a stop signal.
// kExitOk, kExitNoLog after a read error, or 128 + the signal.
int read_input(LineSplitter& splitter, const sigset_t& wait_mask) {
  char buf[65536];
  for (;;) {
    if (g_stop_signal != 0) return 128 + g_stop_signal;
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
  std::fprintf(stderr, "qellog: reading standard input failed: %s\n",
               std::strerror(errno));
  return kExitNoLog;
}

}  // namespace

int pipe_to_log(const char* name, unsigned flags) {
  char param[1024];
  if (const int status = check_param_file(name, param)) return status;

  const sigset_t wait_mask = catch_stop_signals();
  char tool_name[] = "qellog";
  char version[] = QELLOG_TOOL_VERSION;
  char description[] = "lines from standard input";
  char created[] = "";
  set_logversions(tool_name, version, description, created);
  std::string base(name);
  init_logging(&base[0]);
  if (get_logparam_filehandle() == 0) {
    report_no_log_file(name, param);
    exit_logging();
    return kExitNoLog;
  }
  warn_if_filtered(param, flags);

  LineSplitter splitter([flags](unsigned long line, const std::string& text) {
    log_piece(flags, line, text);
  });
  const int status = read_input(splitter, wait_mask);
  // Whatever stopped the input, the line begun so far is kept.
  splitter.finish();
  exit_logging();
  return status > 128 ? die_by(status - 128) : status;
}

}  // namespace qellog_tool
