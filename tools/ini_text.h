// A small reader of the parameter file's [LOGGING] section, for the tool's
// own checks, and the log file that the library's set-up would choose from
// it. The library's reader stays the authority; these functions follow its
// documented rules without creating or opening anything.
#ifndef QELLOG_TOOLS_INI_TEXT_H
#define QELLOG_TOOLS_INI_TEXT_H

#include <string>
#include <vector>

namespace qellog_tool {

// One key = value line; key and value without surrounding blanks.
struct IniEntry {
  std::string key;
  std::string value;
  int line;  // 1-based line number in the file
};

// The key = value lines of every [LOGGING] section (the header in any
// letter case), in file order. Comment lines (';' or '#') and lines
// without '=' are skipped.
std::vector<IniEntry> logging_entries(const std::string& text);

// The last entry named `key`, compared without regard to the case of A to
// Z as the library does; null when there is none.
const IniEntry* find_entry(const std::vector<IniEntry>& entries,
                           const char* key);

// True when `a` and `b` are equal without regard to the case of A to Z.
bool same_key(const std::string& a, const char* b);

// Reads the whole file at `path` (close-on-exec, never a terminal).
// 0, or the errno of the step that failed.
int read_whole_file(const std::string& path, std::string* out);

// The home text the library uses: $HOME as it is (also empty); the
// password database's entry only when HOME is unset.
std::string home_text();

// The parameter file name of base name `name` as the library composes it;
// false (and a line on stderr) when it does not fit.
bool param_file_of(const char* name, std::string* path);

// What the set-up makes of the [LOGGING] keys.
struct LogPlan {
  std::string path;  // the log file it opens
  std::string rule;  // how that path was chosen, for people
  bool creates_dir = false;  // Logpath is missing; the set-up makes it
  int flags = 0;     // open flags (O_WRONLY, O_CREAT, O_TRUNC)
  unsigned mode = 0644;
};

// The log file, flags and mode the set-up chooses for base name `name`.
// Looks at the file system (is Logpath a directory, may it be created) but
// changes nothing.
LogPlan plan_log(const std::vector<IniEntry>& entries, const std::string& name,
                 const std::string& home);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_INI_TEXT_H
