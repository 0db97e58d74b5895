// Settings that the library accepts silently but that are probably not
// what the user meant. Every judgement of a value asks the library's own
// readers how it reads; the keys come from the library's key table.
#ifndef QELLOG_TOOLS_LINT_H
#define QELLOG_TOOLS_LINT_H

#include <string>
#include <vector>

#include "config/param_doc.h"
#include "dry_run.h"

namespace qellog_tool {

// The entry of the log section's key `name` in `keys`, or null.
const qellog::ParamKey* log_key_entry(const std::vector<qellog::ParamKey>& keys, const char* name);

// Levenshtein distance without regard to the case of A to Z.
size_t edit_distance(const std::string& a, const std::string& b);

// The log section's key closest to `key` by edit distance (the first on a
// tie).
const char* closest_key(const std::string& key);

// One warning (without "warning: ") per doubtful key of the file, in file
// order: "<key> = <text>: <what is wrong>: reads as <value>", the value as
// the dry run `run` read it back.
std::vector<std::string> lint_keys(const std::vector<qellog::ParamKey>& keys, const DryRun& run);

// Warnings about what the set-up made of the file: the reader's own error
// lines, a directory that cannot be used, a live name that is not a regular
// file, flush-thread work without a flush thread, a relative log file.
std::vector<std::string> lint_outcome(const std::vector<qellog::ParamKey>& keys, const DryRun& run);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_LINT_H
