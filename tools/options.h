// The qellog command line.
#ifndef QELLOG_TOOLS_OPTIONS_H
#define QELLOG_TOOLS_OPTIONS_H

#include "qellog/log.h"

namespace qellog_tool {

enum class Mode { kPipe, kWhere, kInit, kCheck, kShow, kHelp, kVersion };

struct Options {
  Mode mode = Mode::kPipe;
  unsigned flags = LOGBIT_INFO;
  bool flags_given = false;
  bool no_headers = false;
  bool follow = false;
  bool raw = false;  // --show: control characters as they are
  // The base name; for --show, a log file path instead when it has a '/'.
  const char* name = nullptr;
};

// Fills `o` from the command line. 0 when it is good; otherwise prints one
// line naming the mistake and a hint to --help on stderr and returns the
// usage status.
int parse_options(int argc, char** argv, Options* o);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_OPTIONS_H
