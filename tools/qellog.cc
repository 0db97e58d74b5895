// qellog: appends standard input to a qellog log, checks and shows a base
// name's parameter file and log, and writes a first parameter file.
#include <sys/auxv.h>

#include <cstdio>

#include "commands.h"
#include "config/ini_names.h"
#include "line_split.h"
#include "options.h"
#include "qellog/ini.h"
#include "say.h"

using namespace qellog_tool;

namespace {

// %s is the parameter file of the base name "NAME".
const char kUsage[] =
    R"(Usage: qellog [-f WORD | -e] NAME  append standard input to NAME's log
       qellog --check NAME         check NAME's parameter file
       qellog --where NAME         show the files of NAME's log
       qellog --show [--no-headers] [--follow] [--raw] NAME | PATH
                                   print a log, rotated files first
       qellog --init NAME          write a parameter file for NAME
       qellog --help | --version

Each line of standard input becomes a message line of the log that the
parameter file of NAME describes, here
  %s
A CR before the LF is dropped, a last line without LF is logged, and a NUL
byte appears as \0. A line longer than 224 characters is split over several
log lines: each piece but the last ends with " \", each piece but the
first starts with "+ ". The value field (8 hex digits) of a log line is
the number of its input line, shared by all pieces of that line.

Options:
  -f, --flags WORD  flag word of the lines, a C number (0x1f, 017, 15);
                    default 2, the information class. The lines appear
                    only if WORD passes the log's mask (the tool warns).
  -e, --error       the same as --flags 1: lines tagged "ERROR "
  -c, --check       run the library's own set-up dry (nothing is created,
                    opened or emptied), show its trace, the log file and
                    each setting in force with the text it came from, and
                    warn about settings that are probably not meant: unknown
                    or misplaced keys, keys given twice, values that do not
                    read as they look, a relative or unusable directory, a
                    live name that is not a regular file, a log file that
                    cannot be opened
  -w, --where       print the parameter file, the log file it selects, the
                    rotated files of that log and their total size
  -s, --show        print the log: its rotated files, oldest first, then
                    the live file, without CRs. PATH (an argument with a
                    '/', such as ./app.log) names a log file directly
      --no-headers  with --show: leave out the start and continuation
                    headers, version banners and end trailers
      --raw         with --show: print control characters as they are;
                    on a terminal they are shown as \xNN otherwise
  -F, --follow      with --show (implied): keep printing new lines, across
                    rotations, until SIGINT or SIGTERM (then status 0); a
                    file truncated in place is said on standard error and
                    read again from its start
  -i, --init        write a commented parameter file with defaults and
                    create its directories; never overwrites a file
  -h, --help        print this text
  -V, --version     print the version

Exit status:
  0  success; --check found nothing doubtful
  1  no parameter file (or one the library does not read: not a regular
     file, too large, or one that others could have written), no log file
     opened (or, for --check, none can be opened or a link is refused; for
     --show, none exists), or standard input unreadable
  2  bad options or arguments
  3  --init refused (the file exists) or failed
  4  --check printed warnings
  5  lines could not be written to the log (a full disk, for example)
  On SIGINT, SIGTERM or SIGHUP the log is closed with its end trailer
  before the tool ends by that signal.
)";

static_assert(kPieceMax == 224, "the usage text names the piece length");

int print_text(const char* text) {
  std::fputs(text, stdout);
  return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
}

int print_usage() {
  char param[qellog::kFileNameCapacity] = "?";
  CQel_ini("NAME").get_ini_filename(param, sizeof param);
  // HOME may hold anything; the usage text quotes it.
  std::printf(kUsage, shown_text(param, stdout).c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
}

}  // namespace

int main(int argc, char** argv) {
  // HOME and TMPDIR choose the files: never in a set-user-ID process.
  if (getauxval(AT_SECURE) != 0) {
    std::fputs("qellog: refusing to run set-user-ID or set-group-ID\n", stderr);
    return kExitUsage;
  }
  Options o;
  if (const int status = parse_options(argc, argv, &o)) return status;
  switch (o.mode) {
    case Mode::kHelp:
      return print_usage();
    case Mode::kVersion:
      return print_text("qellog " QELLOG_TOOL_VERSION "\n");
    case Mode::kWhere:
      return print_where(o.name);
    case Mode::kInit:
      return write_param_file(o.name);
    case Mode::kCheck:
      return check_params(o.name);
    case Mode::kShow:
      return show_log(o.name, o.no_headers, o.follow, o.raw);
    case Mode::kPipe:
      break;
  }
  return pipe_to_log(o.name, o.flags);
}
