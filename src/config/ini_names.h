// Name composition for the configuration reader, shared by its two
// translation units and reachable from the unit tests.
#ifndef QELLOG_SRC_CONFIG_INI_NAMES_H
#define QELLOG_SRC_CONFIG_INI_NAMES_H

#include <cstddef>

namespace qellog {

// Longest composed file name the reader accepts. Together with "./" it keeps
// every name, with its terminator, inside a 1024-byte work buffer.
constexpr int kMaxFileNameLength = 1021;
// A buffer that holds every composed name with its terminator.
constexpr int kFileNameCapacity = kMaxFileNameLength + 3;

// Longest base name the reader keeps; a longer one is cut to this length,
// so that every composed name stays within kMaxFileNameLength with the
// longest fixed parts and a short home text.
constexpr size_t kMaxBaseNameLength = 189;

enum class NameStatus {
  kOk,
  kTooLong,         // the parts add up to more than kMaxFileNameLength
  kBufferTooShort,  // the caller's buffer cannot hold the name and its NUL
};

// Pure: composes home + dir + name + suffix, or "./" + name + suffix when
// `home` is empty, into `buf` of `size` bytes. The length limit is checked
// on the sum of all four lengths, whichever form is composed. `buf` is
// written only on kOk. None of the texts may be null.
//   ("/home/ann", "/.config/qel/", "app", "_param.ini")
//     => "/home/ann/.config/qel/app_param.ini"
//   ("", "/.config/qel/", "app", "_param.ini") => "./app_param.ini"
NameStatus compose_file_name(const char* home, const char* dir, const char* name,
                             const char* suffix, char* buf, int size);

// The home directory text: $HOME as it is (also when empty); only when HOME
// is unset, the real user's pw_dir; the empty text when that is missing too.
// A privileged process (running_privileged()) ignores HOME and takes the
// effective user's pw_dir. The pointer is valid until the environment is
// next changed or this thread calls again.
const char* config_home();

// Directory part of the default log file: home + kDefaultLogDir + name.
constexpr const char* kDefaultLogDir = "/.qel/qel_logging/";

// The environment variable that names the directory holding the parameter
// and registry files, for services and containers that keep their
// configuration outside a home directory.
constexpr const char* kConfigDirVariable = "QELLOG_CONFIG_DIR";

// $QELLOG_CONFIG_DIR, or null when it is unset or empty, or when the
// process is privileged (its caller controls the environment). Valid until
// the environment is next changed.
const char* config_dir_from_env();

// The parameter or registry file name of base name `name` ("_param.ini" or
// "_reg.ini" as `suffix`): in $QELLOG_CONFIG_DIR when it is set, otherwise
// home + `home_dir` ("/.config/qel/") as compose_file_name() forms it.
//   QELLOG_CONFIG_DIR=/etc/app => "/etc/app/app_param.ini"
NameStatus compose_config_name(const char* home_dir, const char* name, const char* suffix,
                               char* buf, int size);

// The set-up could not read the parameter file `path` (errno `err`). When
// QELLOG_CONFIG_DIR named its directory, the user chose that place, so one
// line on standard error says so:
//   "qellog: QELLOG_CONFIG_DIR=/etc/ap: cannot read /etc/ap/app_param.ini:
//    No such file or directory"
// Without the variable a missing file stays a quiet no-op.
void report_unread_param_file(const char* path, int err);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_INI_NAMES_H
