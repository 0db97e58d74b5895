// The doubtful-setting checks behind `qellog --check`.
#include "lint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/ini_keys.h"
#include "config/ini_values.h"
#include "config/log_files.h"
#include "qellog/log.h"

namespace qellog_tool {
namespace {

using qellog::IniKey;
using qellog::ParamKey;
using qellog::ValueKind;
using Warnings = std::vector<std::string>;

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

std::string trimmed(const char* text) {
  std::string s = text;
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// Text after a value that is neither blank nor a trailing remark.
std::string tail_of(const char* rest) {
  const std::string t = trimmed(rest);
  return t.empty() || t[0] == ';' || t[0] == '#' ? "" : t;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

size_t key_index(const IniKey& key) {
  return static_cast<size_t>(&key - qellog::kLogKeys);
}

std::string number_problem(const IniKey& key, const char* text, unsigned long value) {
  const qellog::NumberReading r = qellog::read_number(text);
  if (!r.has_digits && !trimmed(text).empty()) return "not a number";
  const std::string tail = tail_of(r.rest);
  if (!tail.empty()) return "the text after the number (" + quoted(tail) + ") is not read";
  if (key.kind == ValueKind::kMask && value == 0) return "the mask is 0";
  if (key.kind != ValueKind::kMode) return "";
  const std::string digits = trimmed(std::string(text, r.rest).c_str());
  char octal[32];
  std::snprintf(octal, sizeof octal, "0%lo", value);
  if (r.base == 10 && value > 07 && digits.find_first_not_of("01234567") == std::string::npos) {
    return "decimal " + digits + " is octal " + octal + "; write 0" + digits +
           " for an octal mode";
  }
  if (value > 07777) return "not a file mode";
  if ((value & 0600) != 0600) return "the owner cannot read and write the log";
  return "";
}

std::string unit_names() {
  std::string names;
  for (size_t i = 0; i < qellog::kSizeUnitCount; ++i) {
    names += (i == 0 ? "" : " or ") + std::string(qellog::kSizeUnits[i].text);
  }
  return names;
}

std::string size_problem(const char* text) {
  const qellog::SizeReading r = qellog::read_size(text);
  if (!r.number.has_digits && !trimmed(text).empty()) return "not a number";
  if (r.unit == nullptr) {
    const std::string tail = tail_of(r.number.rest);
    if (tail.empty()) return "";
    return "the unit " + quoted(tail.substr(0, tail.find_first_of(" \t;#"))) +
           " is not " + unit_names() + " (case matters)";
  }
  const std::string between(r.number.rest, r.unit_at);
  if (trimmed(between.c_str()).empty()) return "";
  return std::string("the unit ") + r.unit->text + " is taken from further on in the text";
}

std::string switch_problem(const char* text) {
  const qellog::SwitchReading r = qellog::read_switch(text);
  const std::string t = trimmed(text);
  if (r.word != nullptr) {
    if (t.compare(0, std::strlen(r.word), r.word) == 0) return "";
    return "the library finds " + quoted(r.word) + " inside the text";
  }
  if (r.number.has_digits) {
    return r.number.value > 1 ? "only the number 1 turns it on" : "";
  }
  if (t.empty()) return "";
  std::string low = t;
  for (char& c : low) c = lower(c);
  return "neither " + quoted(qellog::kSwitchOn) + ", " + quoted(qellog::kSwitchOff) +
         " nor a number" + (qellog::read_switch(low.c_str()).on ? " (case matters)" : "");
}

std::string period_problem(const char* text) {
  if (qellog::read_period(text) != ROTATETIME_NONE || trimmed(text).empty()) return "";
  return "only " + quoted(qellog::period_word(ROTATETIME_HOURLY)) + " and " +
         quoted(qellog::period_word(ROTATETIME_DAILY)) + ", exactly so, rotate by time";
}

std::string value_problem(const IniKey& key, const char* text, unsigned long value) {
  switch (key.kind) {
    case ValueKind::kMode:
    case ValueKind::kMask:
    case ValueKind::kCount:
      return number_problem(key, text, value);
    case ValueKind::kSize:
      return size_problem(text);
    case ValueKind::kSwitch:
      return switch_problem(text);
    case ValueKind::kPeriod:
      return period_problem(text);
    case ValueKind::kDirectory:
      if (text[0] == '\0' || text[0] == '/') return "";
      return "a relative directory: where the log goes depends on the "
             "program's working directory";
    default:
      return "";
  }
}

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

void check_logging_key(const ParamKey& k, const DryRun& run, Warnings* out) {
  const IniKey* key = qellog::find_log_key(k.key.c_str());
  if (key == nullptr) {
    out->push_back("unknown key " + quoted(k.key) + " in [" + qellog::kLogSection +
                   "] (did you mean " + closest_key(k.key) + "?): ignored");
    return;
  }
  if (k.values.size() > 1) {
    out->push_back(k.key + " is given " + std::to_string(k.values.size()) + " times in [" +
                   qellog::kLogSection + "] (" + listed(k.values) +
                   "): the library reads " + quoted(k.in_force));
  }
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

std::string shown_value(size_t index, const char* text, unsigned long value) {
  const IniKey& key = qellog::kLogKeys[index];
  char buf[64];
  std::string shown;
  switch (key.kind) {
    case ValueKind::kOpenFlags:
      std::snprintf(buf, sizeof buf, "0x%lx (O_WRONLY%s%s)", value,
                    (value & O_CREAT) ? "|O_CREAT" : "", (value & O_TRUNC) ? "|O_TRUNC" : "");
      return buf;
    case ValueKind::kMode:
      std::snprintf(buf, sizeof buf, "0%lo", value);
      return buf;
    case ValueKind::kMask:
      std::snprintf(buf, sizeof buf, "0x%lx", value);
      shown = buf;
      break;
    case ValueKind::kSwitch:
      return value != 0 ? "on" : "off";
    case ValueKind::kPeriod: {
      const char* word = qellog::period_word(static_cast<unsigned>(value));
      return word != nullptr ? word : "off";
    }
    case ValueKind::kDirectory:
    case ValueKind::kFileName:
      return text;
    default:
      shown = std::to_string(value);
  }
  if (key.unit[0] != '\0') shown += std::string(" ") + key.unit;
  const qellog::SizeReading size = qellog::read_size(text);
  if (key.kind == ValueKind::kSize && size.unit != nullptr) {
    shown += " (" + std::to_string(size.number.value) + " " + size.unit->text + ")";
  }
  const std::string meaning = key.meaning != nullptr ? key.meaning(value) : "";
  return meaning.empty() ? shown : shown + " (" + meaning + ")";
}

std::vector<std::string> lint_keys(const std::vector<ParamKey>& keys, const DryRun& run) {
  Warnings out;
  for (const ParamKey& k : keys) {
    if (qellog::same_ini_name(k.section.c_str(), qellog::kLogSection)) {
      check_logging_key(k, run, &out);
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
    if (line.compare(0, tag, kFailureTag) == 0) {
      out.push_back("the set-up reports: " + line.substr(tag));
    }
  }
  if (!run.built) return out;
  check_directory(keys, run, &out);
  check_live_name(run.path, &out);
  if (run.thread_work_ignored) {
    out.push_back(std::string("reopening and rotation by time are the flush thread's work: "
                              "without ") + qellog::kThreadKey + " = " + qellog::kSwitchOn +
                  " they are ignored");
  }
  const ParamKey* dir = log_key_entry(keys, qellog::kDirectoryKey);
  const bool dir_warned = dir != nullptr && !dir->in_force.empty() && dir->in_force[0] != '/';
  if (run.path[0] != '/' && !dir_warned) {
    out.push_back("the log file " + run.path + " is relative to the program's working directory");
  }
  return out;
}

}  // namespace qellog_tool
