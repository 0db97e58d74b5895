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
#include "say.h"

namespace qellog_tool {
namespace {

using qellog::IniKey;
using qellog::ParamKey;
using qellog::ValueKind;

void print_trace(const DryRun& run) {
  say(stdout,
      "reader's trace (the library's own set-up; nothing is created, "
      "opened or emptied):");
  for (const std::string& line : run.trace) say(stdout, "  %s", line.c_str());
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
  say(stdout, "settings:");
  say(stdout, "  %-18s %s (%s)", "log file", run.path.c_str(), qellog::path_rule_text(run.rule));
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const char* name = qellog::kLogKeys[i].name;
    const ParamKey* given = log_key_entry(keys, name);
    const std::string source = given != nullptr ? "from \"" + given->in_force + "\"" : "default";
    say(stdout, "  %-18s %-32s %s", name, in_force_text(i, run, given).c_str(), source.c_str());
  }
  for (const std::string& named : run.classes) say(stdout, "  %-18s %s", "class", named.c_str());
}

// Prints why the log file cannot be opened; false when it can.
bool report_unopenable(const DryRun& run) {
  qellog::PathRefusal why;
  const int err = predict_open(run, &why);
  if (err == 0) return false;
  std::string hint;
  if (err == ENOENT && !(run.flags & O_CREAT)) {
    hint = std::string(" (") + qellog::kOpenFlagsKey + " has no " + qellog::kCreateWord + ")";
  }
  const std::string reason = why.reason != nullptr ? refusal_text(why) : std::strerror(err);
  say(stdout, "error: cannot open the log file %s: %s%s", run.path.c_str(), reason.c_str(),
      hint.c_str());
  return true;
}

// Prints the link on the way to Logpath that the set-up refuses; false
// when there is none.
bool report_refused_directory(const std::vector<ParamKey>& keys, const DryRun& run) {
  if (run.dir_refusal.reason == nullptr) return false;
  const ParamKey* dir = log_key_entry(keys, qellog::kDirectoryKey);
  say(stdout, "error: %s = %s: %s: the log goes to %s", qellog::kDirectoryKey,
      dir != nullptr ? dir->in_force.c_str() : "", refusal_text(run.dir_refusal).c_str(),
      run.path.c_str());
  return true;
}

}  // namespace

int check_params(const char* name) {
  std::string param;
  if (!param_file_of(name, &param)) return kExitNoLog;
  say(stdout, "parameter file: %s", param.c_str());
  std::vector<ParamKey> keys;
  qellog::PathRefusal refused;
  if (const int err = qellog::list_param_keys(param.c_str(), &keys, &refused)) {
    say(stdout, "error: cannot read %s: %s", param.c_str(), param_problem(err, refused).c_str());
    if (err == ENOENT) say(stdout, "create one with: qellog --init %s", name);
    return std::fflush(stdout), kExitNoLog;
  }
  const DryRun run = dry_run(name);
  print_trace(run);
  if (run.built) print_settings(keys, run);
  std::vector<std::string> warnings = lint_keys(keys, run);
  for (const std::string& w : lint_outcome(keys, run)) warnings.push_back(w);
  for (const std::string& w : warnings) say(stdout, "warning: %s", w.c_str());
  for (const std::string& dir : run.created_dirs) {
    say(stdout, "note: the set-up creates the directory %s (mode 0%o less the umask)", dir.c_str(),
        run.dir_mode);
  }
  const bool refused_dir = report_refused_directory(keys, run);
  const bool no_log = !run.built || report_unopenable(run);
  if (!run.built) say(stdout, "error: the set-up builds no log");
  say(stdout, "%zu warning%s%s", warnings.size(), warnings.size() == 1 ? "" : "s",
      no_log        ? "; no log file can be opened"
      : refused_dir ? "; a link was refused"
                    : "");
  if (std::fflush(stdout) != 0 || no_log || refused_dir) return kExitNoLog;
  return warnings.empty() ? kExitOk : kExitWarnings;
}

}  // namespace qellog_tool
