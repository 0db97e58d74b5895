// The parameter file as the configuration reader parses it: one loader for
// the set-up and the lookups, and a listing of every key for a program that
// checks a file, both through the same open and the same parser (SimpleIni,
// plain 8-bit text, one value per key, no multi-line values).
#ifndef QELLOG_SRC_CONFIG_PARAM_DOC_H
#define QELLOG_SRC_CONFIG_PARAM_DOC_H

#include <string>
#include <vector>

// Values are plain 8-bit text: no conversion layer. The parser's templates
// are defined in every unit that uses them.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "log/dir_walk.h"

namespace qellog {

// Parses the parameter file `path` into `doc` (SimpleIni's LoadFile). The
// file is opened by open_param_file(), so that its descriptor is
// close-on-exec, a FIFO never blocks and a file that another user could
// have written is refused, and closed before returning, also when the
// parser throws. SI_FILE when it cannot be opened, is refused (`why`
// filled, when given) or cannot be read.
SI_Error load_param_file(CSimpleIniA& doc, const char* path, PathRefusal* why = nullptr);

// One key of the parameter file.
struct ParamKey {
  std::string section;              // as first written; "" for keys before any section
  std::string key;                  // as first written
  std::vector<std::string> values;  // every value given, in file order
  std::string in_force;             // the value the set-up reads: the parser's choice
};

// Every key of every section, sections in the order they first appear and
// keys in file order within each, read from `path` as
// create_log_from_ini reads it (what the parser never sees, such as text
// after a NUL byte, is not listed). 0, or the errno of open_param_file()
// (a refusal fills `why`, when given); EIO when the file cannot be read,
// ENOMEM when memory runs out.
int list_param_keys(const char* path, std::vector<ParamKey>* out, PathRefusal* why = nullptr);

// True when the parser takes `a` and `b` for the same section or key name.
bool same_ini_name(const char* a, const char* b);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_PARAM_DOC_H
