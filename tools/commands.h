// The things the qellog tool does; each returns the process's exit status
// and reports its own failures on standard error.
#ifndef QELLOG_TOOLS_COMMANDS_H
#define QELLOG_TOOLS_COMMANDS_H

namespace qellog_tool {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitNoLog = 1;     // no parameter file, no log file, bad input
constexpr int kExitUsage = 2;     // bad options or arguments
constexpr int kExitInit = 3;      // --init refused or failed
constexpr int kExitWarnings = 4;  // --check found doubtful settings
constexpr int kExitLost = 5;      // lines could not be written to the log

// Appends standard input to the log of `name`, every line with the flag
// word `flags`, and closes the log (end trailer) at the end of the input,
// when the log is a pipe or socket whose reader has gone (kExitLost), or
// on SIGINT, SIGTERM or SIGHUP (status 128 + the signal).
int pipe_to_log(const char* name, unsigned flags);

// Prints the parameter file of `name`, the log file it selects, and that
// log's rotated files with their total size.
int print_where(const char* name);

// Writes a commented parameter file with defaults for `name`, creating the
// directories it needs; never replaces an existing file.
int write_param_file(const char* name);

// Runs the set-up of `name` with the reader's trace shown, prints the
// settings in force and a warning for each doubtful one.
int check_params(const char* name);

// Prints the log across its rotated files, oldest first; with `follow`,
// keeps printing until SIGINT or SIGTERM. `target` is a base name, or a
// log file path when it holds a '/'. Control characters are escaped when
// standard output is a terminal, unless `raw`.
int show_log(const char* target, bool no_headers, bool follow, bool raw);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_COMMANDS_H
