// qellog: appends standard input to a qellog log, shows where the library
// looks for a base name's files, and writes a first parameter file.
#include <getopt.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "line_split.h"
#include "qellog/log.h"

using namespace qellog_tool;

namespace {

const char kUsage[] =
    R"(Usage: qellog [-f WORD | -e] NAME  append standard input to NAME's log
       qellog --where NAME         show the files the library uses for NAME
       qellog --init NAME          write a parameter file for NAME
       qellog --help | --version

Each line of standard input becomes a message line of the log that the
parameter file $HOME/.config/qel/NAME_param.ini describes. A CR before
the LF is dropped, a last line without LF is logged, and a NUL byte
appears as \0. A line longer than 224 characters is split over several
log lines: each piece but the last ends with " \", each piece but the
first starts with "+ ". The value field (8 hex digits) of a log line is
the number of its input line, shared by all pieces of that line.

Options:
  -f, --flags WORD  flag word of the lines, a C number (0x1f, 017, 15);
                    default 2, the information class. The lines appear
                    only if WORD shares a bit with Logging in the file.
  -e, --error       the same as --flags 1: lines tagged "ERROR "
  -w, --where       print the parameter, registry and default log file
                    names
  -i, --init        write a commented parameter file with defaults and
                    create its directories; never overwrites a file
  -h, --help        print this text
  -V, --version     print the version

Exit status:
  0  success
  1  no parameter file, no log file opened, or standard input unreadable
  2  bad options or arguments
  3  --init refused (the file exists) or failed
  On SIGINT, SIGTERM or SIGHUP the log is closed with its end trailer
  before the tool ends by that signal.
)";

static_assert(kPieceMax == 224, "the usage text names the piece length");

enum class Mode { kPipe, kWhere, kInit, kHelp, kVersion };

struct Options {
  Mode mode = Mode::kPipe;
  unsigned flags = LOGBIT_INFO;
  bool flags_given = false;
  const char* name = nullptr;
};

__attribute__((format(printf, 1, 2))) int usage_error(const char* fmt, ...) {
  std::fputs("qellog: ", stderr);
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputs("\n\n", stderr);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// A flag word: a whole C number (strtoul, base 0) of at most 32 bits.
bool parse_flags(const char* text, unsigned* out) {
  if (text[0] == '-' || text[0] == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xffffffffUL) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

bool set_mode(Options* o, Mode m) {
  if (o->mode != Mode::kPipe && o->mode != m) return false;
  o->mode = m;
  return true;
}

// 0 when the command line is good; otherwise the usage error's status.
int parse_options(int argc, char** argv, Options* o) {
  static const option kLong[] = {{"flags", required_argument, nullptr, 'f'},
                                 {"error", no_argument, nullptr, 'e'},
                                 {"where", no_argument, nullptr, 'w'},
                                 {"init", no_argument, nullptr, 'i'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":f:ewihV", kLong, nullptr)) != -1) {
    const char* arg = argv[optind - 1];
    switch (c) {
      case 'f':
        if (!parse_flags(optarg, &o->flags)) {
          return usage_error("bad flag word '%s' (want a number below 2^32)",
                             optarg);
        }
        o->flags_given = true;
        break;
      case 'e':
        o->flags = LOGBIT_ERROR;
        o->flags_given = true;
        break;
      case 'w':
      case 'i':
      case 'h':
      case 'V': {
        const Mode m = c == 'w'   ? Mode::kWhere
                       : c == 'i' ? Mode::kInit
                       : c == 'h' ? Mode::kHelp
                                  : Mode::kVersion;
        if (!set_mode(o, m))
          return usage_error("'%s' conflicts with another option", arg);
        break;
      }
      case ':':
        return usage_error("option '%s' needs a value", arg);
      default:
        // optopt names a short option even inside a group like -ez.
        if (optopt != 0) return usage_error("unknown option '-%c'", optopt);
        return usage_error("unknown option '%s'", arg);
    }
  }
  if (o->mode == Mode::kHelp || o->mode == Mode::kVersion) return 0;
  if (o->flags_given && o->mode != Mode::kPipe) {
    return usage_error("--flags and --error apply only to piping");
  }
  if (o->flags == LOGBIT_NEWLINE) {
    return usage_error("the flag word 0x1000000 writes no log line");
  }
  if (optind >= argc) return usage_error("missing NAME");
  if (optind + 1 < argc)
    return usage_error("unexpected argument '%s'", argv[optind + 1]);
  o->name = argv[optind];
  if (o->name[0] == '\0' || std::strchr(o->name, '/') != nullptr ||
      std::strlen(o->name) > 189) {
    return usage_error("bad NAME '%s' (1 to 189 characters, no '/')", o->name);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = parse_options(argc, argv, &o)) return status;
  switch (o.mode) {
    case Mode::kHelp:
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
    case Mode::kVersion:
      std::printf("qellog %s\n", QELLOG_TOOL_VERSION);
      return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
    case Mode::kWhere:
      return print_where(o.name);
    case Mode::kInit:
      return write_param_file(o.name);
    case Mode::kPipe:
      break;
  }
  return pipe_to_log(o.name, o.flags);
}
