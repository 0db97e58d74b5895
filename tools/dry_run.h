// The library's own set-up of a base name's log, run dry: the configuration
// reader reads the parameter file and decides as it always does, while the
// set-up's seam records the directory it would create, the default name it
// would probe and the log it would open, and builds that log on /dev/null.
// Nothing under the log's names is created, opened or emptied, whatever the
// parameter file holds.
#ifndef QELLOG_TOOLS_DRY_RUN_H
#define QELLOG_TOOLS_DRY_RUN_H

#include <string>
#include <vector>

#include "config/setup_seam.h"
#include "log/dir_walk.h"

namespace qellog_tool {

// Opens each trace line that the reader wrote as a failure.
constexpr char kFailureTag[] = "ERROR ";

struct DryRun {
  bool built = false;              // the set-up returned a log
  std::vector<std::string> trace;  // the reader's lines, failures first tagged
  // The log file the set-up would open, with its flags and mode.
  std::string path;
  int flags = 0;
  unsigned mode = 0;
  qellog::PathRule rule = qellog::PathRule::kDefaultName;
  // Directories the set-up would create (with that mode), the errno of
  // one it could not create, and a link on its way that the set-up
  // refuses.
  std::vector<std::string> created_dirs;
  unsigned dir_mode = 0;
  int dir_error = 0;
  qellog::PathRefusal dir_refusal;
  // Per key of qellog::kLogKeys, the value in force on the log built
  // (0 for the keys that choose the file).
  std::vector<unsigned long> in_force;
  // Work of the flush thread is asked for, but no flush thread starts.
  bool thread_work_ignored = false;
  // The names [CLASSES] gave, as "NAME 0x<bit>", lowest bit first.
  std::vector<std::string> classes;
};

// Whether the set-up's path took the directory key, and the file name key.
bool uses_directory(qellog::PathRule rule);
bool uses_logname(qellog::PathRule rule);

// Runs the set-up of base name `name`. Replaces the process's set-up seam
// while it runs: not for programs with other threads that set up logs.
DryRun dry_run(const char* name);

// What constructing the log of `run` would give: the library's own
// prediction (qellog::predict_live_open), 0 when the file opens, otherwise
// the errno, with `why` filled for a refusal. A directory the set-up
// creates counts as made and empty.
int predict_open(const DryRun& run, qellog::PathRefusal* why);

// The parameter file of `name` (false, and a line on stderr, when the name
// does not fit), and why the library would not read it (0 when it would;
// a refusal fills `why`).
bool param_file_of(const char* name, std::string* path);
int param_file_errno(const std::string& path, qellog::PathRefusal* why);
// That reason in words: "No such file or directory", "not a regular file",
// "larger than ... bytes, which the library does not read", "refused:
// <path> (uid U, mode 0M) is <why>".
std::string param_problem(int err, const qellog::PathRefusal& why = {});
// "refused: <path> (uid U, mode 0M) is <reason>".
std::string refusal_text(const qellog::PathRefusal& why);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_DRY_RUN_H
