// The keys of the parameter file's [LOGGING] section in one table: the
// set-up applies it in its order, and the qellog tool reads it to check,
// show and write a parameter file. A new key is one entry here.
#ifndef QELLOG_SRC_CONFIG_INI_KEYS_H
#define QELLOG_SRC_CONFIG_INI_KEYS_H

#include <cstddef>
#include <string>

#include "qellog/ini.h"

namespace qellog {

constexpr const char kLogSection[] = "LOGGING";
// The operation names that open each trace line of the set-up and of a
// reload.
constexpr const char kCreateOp[] = "create_log_from_ini";
constexpr const char kReloadOp[] = "reload_log_from_ini";

// The four keys that choose the log file, read by the set-up itself.
constexpr const char kDirectoryKey[] = "Logpath";
constexpr const char kFileNameKey[] = "Logname";
constexpr const char kOpenFlagsKey[] = "LogFileFlags";
constexpr const char kModeKey[] = "LogFilePermission";
// The key that starts the flush thread.
constexpr const char kThreadKey[] = "Flushthread";
// The key of the line end, which the start header needs before the log is
// built.
constexpr const char kLineEndKey[] = "Lineend";
// The section that names the host's message classes: NAME = bit.
constexpr const char kClassSection[] = "CLASSES";

// How a key's value text is read (config/ini_values.h) and shown.
enum class ValueKind {
  kDirectory,  // a directory
  kFileName,   // a file name
  kOpenFlags,  // read_open_flags
  kMode,       // a number: permission bits
  kMask,       // a number, low 32 bits: an enable mask
  kCount,      // a number
  kSize,       // read_size
  kSwitch,     // read_switch
  kPeriod,     // read_period
  kLength,     // a number: a line length, taken within its range
  kLineEnd,    // read_lineend
};

// One setting while the set-up applies it to the log it built, or a
// reload to the log it changes.
struct SettingStep {
  CQel_ini& ini;  // for the trace
  CQel_Log& log;
  const char* text;  // the value text
  bool thread_started;
  const char* op;  // kCreateOp or kReloadOp, for the trace
};

struct IniKey {
  const char* name;
  ValueKind kind;
  const char* unit;  // after a number when shown: "bytes", "s", "days", ""
  // Applies `step.text` to the log and writes the trace line; null for the
  // four file keys.
  void (*apply)(SettingStep& step);
  // The setting in force on a built log; null for the four file keys.
  unsigned long (*in_force)(CQel_Log& log);
  // What a value means in words when it is not plain ("no limit"); "" when
  // it is. Null for keys without such values.
  std::string (*meaning)(unsigned long value);
  // The value text that gives a log what it has without the key, which a
  // reload applies when the key is gone from the file; null for the four
  // file keys and for a setting a reload leaves as it is without its key.
  const char* absent;
  // A fresh parameter file: the value it gives (null: the caller's), set
  // or only shown in a comment, and the comment above it.
  const char* example;
  bool active;
  const char* help;
};

// In the order the set-up applies them; the flush thread comes last, so
// that it starts with every other setting in force.
extern const IniKey kLogKeys[];
extern const size_t kLogKeyCount;

// The key of `name` as the parser matches names (any case of A to Z), or
// null when [LOGGING] has no such key.
const IniKey* find_log_key(const char* name);

// Reopening and rotation by time are the flush thread's work: true when
// `log` asks for either.
bool asks_for_flush_thread(CQel_Log& log);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_INI_KEYS_H
