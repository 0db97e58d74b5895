// Parsing the qellog command line, one small step per concern.
#include "options.h"

#include <getopt.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "config/ini_names.h"
#include "config/ini_values.h"
#include "log/message_filter.h"
#include "say.h"

namespace qellog_tool {
namespace {

__attribute__((format(printf, 1, 2))) int usage_error(const char* fmt, ...) {
  // The arguments quoted come from the command line: escaped on a
  // terminal, as every line of the tool's.
  const std::string format = std::string("qellog: ") + fmt;
  va_list args;
  va_start(args, fmt);
  vsay(stderr, format.c_str(), args);
  va_end(args);
  std::fputs("Try 'qellog --help'.\n", stderr);
  return kExitUsage;
}

// A flag word: a whole number as the parameter file's numbers read, of at
// most 32 bits.
bool parse_flags(const char* text, unsigned* out) {
  if (text[0] == '-' || text[0] == '\0') return false;
  const qellog::NumberReading r = qellog::read_number(text);
  if (!r.has_digits || *r.rest != '\0' || r.value > 0xffffffffUL) return false;
  *out = static_cast<unsigned>(r.value);
  return true;
}

Mode mode_of(int c) {
  switch (c) {
    case 'w':
      return Mode::kWhere;
    case 'i':
      return Mode::kInit;
    case 'c':
      return Mode::kCheck;
    case 's':
      return Mode::kShow;
    case 'h':
      return Mode::kHelp;
    default:
      return Mode::kVersion;
  }
}

// Another mode than the one chosen so far is a conflict; --follow chooses
// --show, so the two go together.
int set_mode(Options* o, Mode m, const char* arg) {
  if (o->mode != Mode::kPipe && o->mode != m) {
    return usage_error("'%s' conflicts with another option", arg);
  }
  o->mode = m;
  return 0;
}

// One option from getopt_long; 0 or the usage status.
int take_option(int c, const char* arg, Options* o) {
  switch (c) {
    case 'f':
      if (!parse_flags(optarg, &o->flags)) {
        return usage_error("bad flag word '%s' (want a number below 2^32)", optarg);
      }
      o->flags_given = true;
      return 0;
    case 'e':
      o->flags = LOGBIT_ERROR;
      o->flags_given = true;
      return 0;
    case 'n':
      o->no_headers = true;
      return 0;
    case 'r':
      o->raw = true;
      return 0;
    case 'F':
      o->follow = true;
      return set_mode(o, Mode::kShow, arg);
    case 'w':
    case 'i':
    case 'c':
    case 's':
    case 'h':
    case 'V':
      return set_mode(o, mode_of(c), arg);
    case ':':
      return usage_error("option '%s' needs a value", arg);
    default:
      // optopt names a short option even inside a group like -ez.
      if (optopt != 0) return usage_error("unknown option '-%c'", optopt);
      return usage_error("unknown option '%s'", arg);
  }
}

// Options that belong to one mode only.
int check_combination(const Options& o) {
  if (o.flags_given && o.mode != Mode::kPipe) {
    return usage_error("--flags and --error apply only to piping");
  }
  if (o.no_headers && o.mode != Mode::kShow) {
    return usage_error("--no-headers applies only to --show");
  }
  if (o.raw && o.mode != Mode::kShow) {
    return usage_error("--raw applies only to --show");
  }
  if (!qellog::makes_log_line(o.flags)) {
    return usage_error("the flag word 0x%x writes no log line", o.flags);
  }
  return 0;
}

// A NAME is what the library composes file names from, without a '/'.
// --show and --follow also take a log file path: an argument with a '/'.
int take_name(int argc, char** argv, Options* o) {
  if (optind >= argc) return usage_error("missing NAME");
  if (optind + 1 < argc) {
    return usage_error("unexpected argument '%s'", argv[optind + 1]);
  }
  o->name = argv[optind];
  if (o->mode == Mode::kShow && std::strchr(o->name, '/') != nullptr) return 0;
  if (o->name[0] == '\0' || std::strchr(o->name, '/') != nullptr ||
      std::strlen(o->name) > qellog::kMaxBaseNameLength) {
    return usage_error("bad NAME '%s' (1 to %zu characters, no '/')", o->name,
                       qellog::kMaxBaseNameLength);
  }
  return 0;
}

}  // namespace

int parse_options(int argc, char** argv, Options* o) {
  static const option kLong[] = {
      {"flags", required_argument, nullptr, 'f'}, {"error", no_argument, nullptr, 'e'},
      {"where", no_argument, nullptr, 'w'},       {"init", no_argument, nullptr, 'i'},
      {"check", no_argument, nullptr, 'c'},       {"show", no_argument, nullptr, 's'},
      {"follow", no_argument, nullptr, 'F'},      {"no-headers", no_argument, nullptr, 'n'},
      {"raw", no_argument, nullptr, 'r'},         {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},     {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":f:ewicsFhV", kLong, nullptr)) != -1) {
    if (const int status = take_option(c, argv[optind - 1], o)) return status;
  }
  if (o->mode == Mode::kHelp || o->mode == Mode::kVersion) return 0;
  if (const int status = check_combination(*o)) return status;
  return take_name(argc, argv, o);
}

}  // namespace qellog_tool
