// What create_log_from_ini does outside the parameter file, behind one
// internal seam: the walk to Logpath and the mkdir of its last component,
// the test open of the default name,
// the construction of the log and the reader's trace. The library keeps the
// real operations; a dry run (qellog --check) replaces them to watch the
// set-up decide without creating, opening or emptying anything.
#ifndef QELLOG_SRC_CONFIG_SETUP_SEAM_H
#define QELLOG_SRC_CONFIG_SETUP_SEAM_H

#include <cstddef>

#include "log/dir_walk.h"
#include "qellog/log.h"

namespace qellog {

// How the set-up chose the log file's path.
enum class PathRule {
  kDirectoryAndName,      // Logpath + "/" + Logname
  kDirectoryAndBaseName,  // Logpath + "/" + base name + ".log"
  kAbsoluteName,          // an absolute Logname as it is
  kNameInDefaultDir,      // a relative Logname in the default log directory
  kDefaultName,           // get_default_logname()
};

// The rule in words for people, e.g. "Logpath + Logname".
const char* path_rule_text(PathRule rule);

struct SetupSeam {
  // Opens the Logpath `path` as walk_directory() does, under `walk`'s rule,
  // creating its last component when `walk` asks: 0 and the directory in
  // `*dir_fd` (-1 in a dry run), or -1 with errno, the refusal and the
  // mkdir's result in `walk`. A refusal is said on standard error.
  int (*open_directory)(const char* path, DirWalk* walk, int* dir_fd);
  // The test open of the default name with the set-up's flags and mode,
  // closed at once: 0 when it opened, -1 with errno when not.
  int (*probe_default)(const char* path, int flags, unsigned mode);
  // Constructs the log on `path` with the line end `lineend` (LINEEND_*);
  // never null (a failed open still gives a log, without a file). `rule`
  // says how the path was chosen; `dir_fd`, unless -1, is the open Logpath
  // that the first `dir_len` characters of `path` name.
  CQel_Log* (*make_log)(const char* path, int flags, unsigned mode, unsigned lineend, PathRule rule,
                        int dir_fd, size_t dir_len);
  // When set, every diagnostic line of every CQel_ini is handed here as
  // text, with its flag word, besides going to the reader's ini_log.
  void (*trace)(unsigned flags, const char* text);
};

// The operations that do the real work.
extern const SetupSeam kRealSetup;

// Moves `log` to `path` (log/log_move.h) with the line end `lineend`
// (LINEEND_*) for its start header; `dir_fd`, unless -1, is the open
// Logpath that the first `dir_len` characters of `path` name. A reload's
// step, outside the seam: the tool never reloads.
bool move_log_to(CQel_Log& log, const char* path, int flags, unsigned mode, unsigned lineend,
                 int dir_fd, size_t dir_len, PathRefusal* why);

// The seam in force, kRealSetup unless replaced. Replace it only before
// any set-up runs and while none runs (nothing guards it), and put
// kRealSetup back when done.
extern SetupSeam g_setup_seam;

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_SETUP_SEAM_H
