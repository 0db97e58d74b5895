// `qellog --check NAME`: the library's set-up run dry, with its trace, each
// setting in force and where it came from, and a warning for each setting
// that is probably not what was meant.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "config/ini_keys.h"
#include "config/ini_values.h"
#include "dry_run.h"
#include "lint.h"
#include "readings.h"

namespace qellog_tool {
namespace {

using qellog::IniKey;
using qellog::ParamKey;
using qellog::ValueKind;

void print_trace(const DryRun& run) {
  std::printf(
      "reader's trace (the library's own set-up; nothing is created, "
      "opened or emptied):\n");
  for (const std::string& line : run.trace) std::printf("  %s\n", line.c_str());
}

// The setting in force for the key at `index`, for people.
std::string in_force_text(size_t index, const DryRun& run, const ParamKey* given) {
  const IniKey& key = qellog::kLogKeys[index];
  const char* text = given != nullptr ? given->in_force.c_str() : "";
  switch (key.kind) {
    case ValueKind::kDirectory:
      if (given == nullptr) return "none";
      return uses_directory(run.rule) ? text : "not used";
    case ValueKind::kFileName:
      if (given == nullptr) return "none";
      return uses_logname(run.rule) ? text : "not used";
    case ValueKind::kOpenFlags:
      return shown_value(index, text, static_cast<unsigned>(run.flags));
    case ValueKind::kMode:
      return shown_value(index, text, run.mode);
    default:
      return shown_value(index, text, run.in_force[index]);
  }
}

void print_settings(const std::vector<ParamKey>& keys, const DryRun& run) {
  std::printf("settings:\n  %-18s %s (%s)\n", "log file", run.path.c_str(),
              qellog::path_rule_text(run.rule));
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const char* name = qellog::kLogKeys[i].name;
    const ParamKey* given = log_key_entry(keys, name);
    const std::string source = given != nullptr ? "from \"" + given->in_force + "\"" : "default";
    std::printf("  %-18s %-32s %s\n", name, in_force_text(i, run, given).c_str(), source.c_str());
  }
  for (const std::string& named : run.classes) std::printf("  %-18s %s\n", "class", named.c_str());
}

// Prints why the log file cannot be opened; false when it can.
bool report_unopenable(const DryRun& run) {
  const int err = predict_open(run.path, run.flags, run.created_dirs);
  if (err == 0) return false;
  std::string hint;
  if (err == ENOENT && !(run.flags & O_CREAT)) {
    hint = std::string(" (") + qellog::kOpenFlagsKey + " has no " + qellog::kCreateWord + ")";
  }
  std::printf("error: cannot open the log file %s: %s%s\n", run.path.c_str(), std::strerror(err),
              hint.c_str());
  return true;
}

}  // namespace

int check_params(const char* name) {
  std::string param;
  if (!param_file_of(name, &param)) return kExitNoLog;
  std::printf("parameter file: %s\n", param.c_str());
  std::vector<ParamKey> keys;
  if (const int err = qellog::list_param_keys(param.c_str(), &keys)) {
    std::printf("error: cannot read %s: %s\n", param.c_str(), param_problem(err).c_str());
    if (err == ENOENT) std::printf("create one with: qellog --init %s\n", name);
    return std::fflush(stdout), kExitNoLog;
  }
  const DryRun run = dry_run(name);
  print_trace(run);
  if (run.built) print_settings(keys, run);
  std::vector<std::string> warnings = lint_keys(keys, run);
  for (const std::string& w : lint_outcome(keys, run)) warnings.push_back(w);
  for (const std::string& w : warnings) std::printf("warning: %s\n", w.c_str());
  for (const std::string& dir : run.created_dirs) {
    std::printf("note: the set-up creates the directory %s (mode 0%o less the umask)\n",
                dir.c_str(), run.dir_mode);
  }
  const bool no_log = !run.built || report_unopenable(run);
  if (!run.built) std::printf("error: the set-up builds no log\n");
  std::printf("%zu warning%s%s\n", warnings.size(), warnings.size() == 1 ? "" : "s",
              no_log ? "; no log file can be opened" : "");
  if (std::fflush(stdout) != 0 || no_log) return kExitNoLog;
  return warnings.empty() ? kExitOk : kExitWarnings;
}

}  // namespace qellog_tool
