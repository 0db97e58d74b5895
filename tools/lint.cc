// The doubtful-setting checks behind `qellog --check`.
#include "lint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "config/ini_keys.h"
#include "config/ini_values.h"
#include "log/log_files.h"
#include "qellog/log.h"
#include "readings.h"

namespace qellog_tool {
namespace {

using qellog::IniKey;
using qellog::ParamKey;
using qellog::ValueKind;
using Warnings = std::vector<std::string>;

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

size_t key_index(const IniKey& key) { return static_cast<size_t>(&key - qellog::kLogKeys); }

// What the set-up took for the key: read back from the dry run's log, or
// the value's own reading when no log was built.
unsigned long reading(const IniKey& key, const char* text, const DryRun& run) {
  if (key.kind == ValueKind::kOpenFlags) return static_cast<unsigned>(run.flags);
  if (key.kind == ValueKind::kMode) return run.built ? run.mode : qellog::read_word(text);
  const size_t i = key_index(key);
  if (run.built && key.in_force != nullptr) return run.in_force[i];
  return qellog::read_number(text).value;
}

std::string listed(const std::vector<std::string>& values) {
  std::string s;
  for (const std::string& v : values) s += (s.empty() ? "" : ", ") + quoted(v);
  return s;
}

// A key given more than once in `section`: only one value counts.
void check_repeated(const ParamKey& k, const char* section, Warnings* out) {
  if (k.values.size() < 2) return;
  out->push_back(k.key + " is given " + std::to_string(k.values.size()) + " times in [" + section +
                 "] (" + listed(k.values) + "): the library reads " + quoted(k.in_force));
}

void check_logging_key(const ParamKey& k, const DryRun& run, Warnings* out) {
  const IniKey* key = qellog::find_log_key(k.key.c_str());
  if (key == nullptr) {
    out->push_back("unknown key " + quoted(k.key) + " in [" + qellog::kLogSection +
                   "] (did you mean " + closest_key(k.key) + "?): ignored");
    return;
  }
  check_repeated(k, qellog::kLogSection, out);
  const char* text = k.in_force.c_str();
  const unsigned long value = reading(*key, text, run);
  const std::string problem = value_problem(*key, text, value);
  if (problem.empty()) return;
  out->push_back(k.key + " = " + k.in_force + ": " + problem + ": reads as " +
                 shown_value(key_index(*key), text, value));
}

std::string kind_of_file(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

// The library rotates only a regular file under the live name.
void check_live_name(const std::string& path, Warnings* out) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  const int dir_fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return;
  struct stat st;
  const bool rotatable = qellog::live_name_rotatable(dir_fd, leaf.c_str());
  const bool exists = fstatat(dir_fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  close(dir_fd);
  if (rotatable || !exists) return;
  out->push_back("the log file " + path + " is " + kind_of_file(st.st_mode) +
                 ", not a regular file: the library never rotates it");
}

void check_directory(const std::vector<ParamKey>& keys, const DryRun& run, Warnings* out) {
  const ParamKey* dir = log_key_entry(keys, qellog::kDirectoryKey);
  if (dir == nullptr || uses_directory(run.rule) || run.dir_error == 0) return;
  out->push_back(dir->key + " = " + dir->in_force + ": " +
                 (run.dir_error == EEXIST ? "not a directory" : std::strerror(run.dir_error)) +
                 ": the log goes to " + run.path);
}

}  // namespace

const ParamKey* log_key_entry(const std::vector<ParamKey>& keys, const char* name) {
  for (const ParamKey& k : keys) {
    if (qellog::same_ini_name(k.section.c_str(), qellog::kLogSection) &&
        qellog::same_ini_name(k.key.c_str(), name)) {
      return &k;
    }
  }
  return nullptr;
}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + change});
      diagonal = above;
    }
  }
  return row[b.size()];
}

const char* closest_key(const std::string& key) {
  const char* best = qellog::kLogKeys[0].name;
  size_t best_distance = edit_distance(key, best);
  for (size_t i = 1; i < qellog::kLogKeyCount; ++i) {
    const size_t d = edit_distance(key, qellog::kLogKeys[i].name);
    if (d < best_distance) {
      best = qellog::kLogKeys[i].name;
      best_distance = d;
    }
  }
  return best;
}

std::vector<std::string> lint_keys(const std::vector<ParamKey>& keys, const DryRun& run) {
  Warnings out;
  for (const ParamKey& k : keys) {
    if (qellog::same_ini_name(k.section.c_str(), qellog::kLogSection)) {
      check_logging_key(k, run, &out);
    } else if (qellog::same_ini_name(k.section.c_str(), qellog::kClassSection)) {
      // A refused name is the set-up's own error line (lint_outcome).
      check_repeated(k, qellog::kClassSection, &out);
    } else if (qellog::find_log_key(k.key.c_str()) != nullptr) {
      const std::string where = k.section.empty() ? "before any section" : "in [" + k.section + "]";
      out.push_back(k.key + " = " + k.in_force + " " + where + ": the library reads it only in [" +
                    qellog::kLogSection + "]: ignored");
    }
  }
  return out;
}

std::vector<std::string> lint_outcome(const std::vector<ParamKey>& keys, const DryRun& run) {
  Warnings out;
  for (const std::string& line : run.trace) {
    const size_t tag = std::strlen(kFailureTag);
    // A refused link on the way to Logpath is the check's error.
    const bool refusal = run.dir_refusal.reason != nullptr && line.find(" refused: ") != line.npos;
    if (line.compare(0, tag, kFailureTag) == 0 && !refusal) {
      out.push_back("the set-up reports: " + line.substr(tag));
    }
  }
  if (!run.built) return out;
  check_directory(keys, run, &out);
  check_live_name(run.path, &out);
  if (run.thread_work_ignored) {
    out.push_back(std::string("reopening and rotation by time are the flush thread's work: "
                              "without ") +
                  qellog::kThreadKey + " = " + qellog::kSwitchOn + " they are ignored");
  }
  const ParamKey* dir = log_key_entry(keys, qellog::kDirectoryKey);
  const bool dir_warned = dir != nullptr && !dir->in_force.empty() && dir->in_force[0] != '/';
  if (run.path[0] != '/' && !dir_warned) {
    out.push_back("the log file " + run.path + " is relative to the program's working directory");
  }
  return out;
}

}  // namespace qellog_tool
