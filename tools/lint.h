// Checks of a parameter file's [LOGGING] keys for settings that the
// library accepts silently but that are probably not what the user meant.
// Pure: looks at the text only.
#ifndef QELLOG_TOOLS_LINT_H
#define QELLOG_TOOLS_LINT_H

#include <string>
#include <vector>

#include "ini_text.h"

namespace qellog_tool {

// The [LOGGING] keys the library reads.
extern const char* const kKnownKeys[];
extern const size_t kKnownKeyCount;

// Levenshtein distance without regard to the case of A to Z.
size_t edit_distance(const std::string& a, const std::string& b);

// The known key closest to `key` by edit distance (the first on a tie).
const char* closest_key(const std::string& key);

// Whether the library reads a yes/no value as on: "yes" anywhere in the
// text, else not "no" anywhere and the number 1 (case matters).
bool reads_as_on(const std::string& value);

// One warning line (without "warning: ") per doubtful entry, in file
// order, e.g. "line 7: Maxfilesize=8MB: ...".
std::vector<std::string> lint_entries(const std::vector<IniEntry>& entries);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_LINT_H
