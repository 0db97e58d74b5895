// `qellog --check NAME`: the set-up with its trace, the settings it leaves,
// and a warning for each setting that is probably not what was meant.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "dry_run.h"
#include "ini_text.h"
#include "lint.h"

namespace qellog_tool {
namespace {

std::string flag_names(int flags) {
  std::string s = "O_WRONLY";
  if (flags & O_CREAT) s += "|O_CREAT";
  if (flags & O_TRUNC) s += "|O_TRUNC";
  return s;
}

void print_settings(const LogPlan& plan, const Readback& r) {
  std::printf("settings:\n");
  std::printf("  log file:       %s (%s)\n", plan.path.c_str(), plan.rule.c_str());
  std::printf("  open flags:     0x%x (%s)\n", static_cast<unsigned>(plan.flags),
              flag_names(plan.flags).c_str());
  std::printf("  mode:           0%o\n", plan.mode);
  std::printf("  mask:           0x%x\n", r.logbits);
  std::printf("  flush count:    %u\n", r.flushcount);
  std::printf("  size limit:     %lu bytes\n", r.maxfilesize);
  std::printf("  flush thread:   %s\n", r.flush_thread ? "yes" : "no");
  std::printf("  Maxfilecount:   %lu\n", r.maxfilecount);
  std::printf("  Maxtotalsize:   %lu bytes\n", r.maxtotalsize);
  std::printf("  Maxfileage:     %lu days\n", r.maxfileage);
  std::printf("  Lostlines:      %s\n", r.lostlines ? "yes" : "no");
  std::printf("  Reopen:         %s\n", r.reopen ? "yes" : "no");
  std::printf("  Reopeninterval: %u s\n", r.reopeninterval);
  static const char* const kPeriods[] = {"none", "hourly", "daily"};
  std::printf("  Rotatetime:     %s\n",
              r.rotatetime < 3 ? kPeriods[r.rotatetime] : "unknown");
  std::printf("  Tailsafe:       %s\n", r.tailsafe ? "yes" : "no");
}

// Logpath that is missing, not a directory or not writable.
void check_logpath(const std::vector<IniEntry>& entries, const LogPlan& plan,
                   std::vector<std::string>* warnings) {
  const IniEntry* e = find_entry(entries, "Logpath");
  if (e == nullptr) return;
  const std::string& dir = e->value;
  struct stat st;
  if (plan.creates_dir) {
    warnings->push_back("Logpath " + dir +
                        " does not exist; the set-up creates it (mode 0775)");
  } else if (stat(dir.c_str(), &st) != 0) {
    warnings->push_back("Logpath " + dir + " does not exist and cannot be "
                        "created: the log goes to " + plan.path);
  } else if (!S_ISDIR(st.st_mode)) {
    warnings->push_back("Logpath " + dir + " is not a directory: the log goes to " +
                        plan.path);
  } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
    warnings->push_back("Logpath " + dir + " is not writable: " +
                        std::strerror(errno));
  }
}

// 0 when the log file can be opened as the set-up opens it, else the
// errno. Writes nothing to an existing file; a file made for the test is
// removed again.
int probe_open(const LogPlan& plan) {
  const char* path = plan.path.c_str();
  int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  if (errno != ENOENT || !(plan.flags & O_CREAT)) return errno;
  fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno;
  close(fd);
  unlink(path);
  return 0;
}

// Prints why no log file can be opened; false when one can.
bool report_unopenable(const LogPlan& plan) {
  if (plan.creates_dir) {
    if (plan.flags & O_CREAT) return false;
    std::printf("error: cannot open the log file %s: its directory is made "
                "empty and LogFileFlags has no CREAT\n", plan.path.c_str());
    return true;
  }
  const int err = probe_open(plan);
  if (err == 0) return false;
  std::printf("error: cannot open the log file %s: %s%s\n", plan.path.c_str(),
              std::strerror(err),
              err == ENOENT && !(plan.flags & O_CREAT)
                  ? " (LogFileFlags has no CREAT)" : "");
  return true;
}

}  // namespace

int check_params(const char* name) {
  std::string param, text;
  if (!param_file_of(name, &param)) return kExitNoLog;
  std::printf("parameter file: %s\n", param.c_str());
  if (const int err = read_whole_file(param, &text)) {
    std::printf("error: cannot read %s: %s\n", param.c_str(), std::strerror(err));
    if (err == ENOENT) std::printf("create one with: qellog --init %s\n", name);
    return kExitNoLog;
  }
  const std::vector<IniEntry> entries = logging_entries(text);
  const LogPlan plan = plan_log(entries, name, home_text());
  Readback back;
  std::vector<std::string> trace;
  const bool ran = dry_run_setup(name, text, &trace, &back);
  std::printf("reader's trace (a dry run whose log is /dev/null: Logpath, "
              "Logname and LogFileFlags are replaced):\n");
  for (const std::string& line : trace) std::printf("  %s\n", line.c_str());
  if (ran) print_settings(plan, back);
  std::vector<std::string> warnings = lint_entries(entries);
  check_logpath(entries, plan, &warnings);
  for (const std::string& w : warnings) std::printf("warning: %s\n", w.c_str());
  const bool no_log = !ran || report_unopenable(plan);
  std::printf("%zu warning%s%s\n", warnings.size(),
              warnings.size() == 1 ? "" : "s",
              no_log ? "; no log file can be opened" : "");
  if (std::fflush(stdout) != 0 || no_log) return kExitNoLog;
  return warnings.empty() ? kExitOk : kExitWarnings;
}

}  // namespace qellog_tool
