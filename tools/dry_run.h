// The library's set-up run on a private copy of a parameter file whose log
// goes to /dev/null, so that a check neither writes into nor empties the
// real log file.
#ifndef QELLOG_TOOLS_DRY_RUN_H
#define QELLOG_TOOLS_DRY_RUN_H

#include <string>
#include <vector>

namespace qellog_tool {

// The settings of the log that the set-up built, read back through its
// getters.
struct Readback {
  unsigned logbits = 0;
  unsigned flushcount = 0;
  unsigned long maxfilesize = 0;
  bool flush_thread = false;
  unsigned long maxfilecount = 0;
  unsigned long maxtotalsize = 0;
  unsigned long maxfileage = 0;
  bool lostlines = false;
  bool reopen = false;
  unsigned reopeninterval = 0;
  unsigned rotatetime = 0;
  bool tailsafe = false;
};

// Copies `param_text` (the parameter file of `name`) into a fresh
// temporary HOME, with a last [LOGGING] section that points the log at
// /dev/null without O_CREAT or O_TRUNC, and runs
// CQel_ini::create_log_from_ini there with a trace log attached. Fills
// `trace` with the reader's diagnostic lines (error lines keep their
// "ERROR " tag) and `back` with the settings. False when the set-up could
// not run (no temporary directory, or the reader returned no log); the
// trace says why. Changes HOME while it runs; not for threaded callers.
bool dry_run_setup(const char* name, const std::string& param_text,
                   std::vector<std::string>* trace, Readback* back);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_DRY_RUN_H
