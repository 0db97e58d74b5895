// The doubtful-setting checks behind `qellog --check`.
#include "lint.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qellog_tool {

const char* const kKnownKeys[] = {
    "Logpath",      "Logname",      "LogFileFlags", "LogFilePermission",
    "Logging",      "Flushcount",   "Maxfilesize",  "Flushthread",
    "Maxfilecount", "Maxtotalsize", "Maxfileage",   "Lostlines",
    "Reopen",       "Reopeninterval", "Rotatetime", "Tailsafe"};
const size_t kKnownKeyCount = sizeof kKnownKeys / sizeof kKnownKeys[0];

namespace {

using Warnings = std::vector<std::string>;

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

std::string lowered(std::string s) {
  for (char& c : s) c = lower(c);
  return s;
}

std::string where(const IniEntry& e) {
  return "line " + std::to_string(e.line) + ": " + e.key + "=" + e.value + ": ";
}

bool is_known(const std::string& key) {
  for (size_t i = 0; i < kKnownKeyCount; ++i) {
    if (same_key(key, kKnownKeys[i])) return true;
  }
  return false;
}

// What the library makes of a size with an optional unit.
unsigned long library_size(const std::string& v) {
  unsigned long n = std::strtoul(v.c_str(), nullptr, 0);
  if (v.find("Mb") != std::string::npos) return n << 20;
  if (v.find("kb") != std::string::npos) return n << 10;
  return n;
}

void check_size(const IniEntry& e, Warnings* out) {
  char* end = nullptr;
  std::strtoul(e.value.c_str(), &end, 0);
  std::string unit = end;
  unit.erase(0, unit.find_first_not_of(" \t"));
  if (unit.empty() || unit == "Mb" || unit == "kb") return;
  out->push_back(where(e) + "the unit '" + unit +
                 "' is not Mb or kb (case matters): this reads as " +
                 std::to_string(library_size(e.value)) + " bytes");
}

bool looks_like_yes(const std::string& value) {
  static const char* const kYes[] = {"yes", "y", "true", "on", "enable",
                                     "enabled", "1"};
  const std::string v = lowered(value);
  return std::any_of(std::begin(kYes), std::end(kYes),
                     [&](const char* y) { return v == y; });
}

void check_switch(const IniEntry& e, Warnings* out) {
  if (!looks_like_yes(e.value) || reads_as_on(e.value)) return;
  out->push_back(where(e) + "reads as off: only 'yes' (lower case) or 1 "
                            "turns it on");
}

void check_permission(const IniEntry& e, Warnings* out) {
  const unsigned long mode = std::strtoul(e.value.c_str(), nullptr, 0);
  char octal[32];
  std::snprintf(octal, sizeof octal, "0%lo", mode);
  const bool decimal = !e.value.empty() && e.value[0] != '0';
  if (decimal && mode > 07 &&
      e.value.find_first_not_of("01234567") == std::string::npos) {
    out->push_back(where(e) + "is decimal " + e.value + " (octal " + octal +
                   "); write 0" + e.value + " for an octal mode");
  } else if (mode > 07777) {
    out->push_back(where(e) + "is " + octal + ", not a file mode");
  } else if ((mode & 0600) != 0600) {
    out->push_back(where(e) + "the owner cannot read and write the log (mode " +
                   octal + ")");
  }
}

void check_mask(const IniEntry& e, Warnings* out) {
  const auto mask =
      static_cast<unsigned>(std::strtoul(e.value.c_str(), nullptr, 0));
  if (mask == 0) out->push_back(where(e) + "the mask is 0: nothing is written");
}

void check_rotatetime(const IniEntry& e, Warnings* out) {
  static const char* const kFine[] = {"daily", "hourly", "", "none", "0"};
  if (std::any_of(std::begin(kFine), std::end(kFine),
                  [&](const char* w) { return e.value == w; })) {
    return;
  }
  out->push_back(where(e) + "only 'daily' or 'hourly' (lower case) rotate "
                            "by time: no rotation by time");
}

void check_unknown(const IniEntry& e, Warnings* out) {
  out->push_back("line " + std::to_string(e.line) + ": unknown key '" + e.key +
                 "' in [LOGGING] (did you mean " + closest_key(e.key) + "?)");
}

void check_entry(const IniEntry& e, Warnings* out) {
  if (!is_known(e.key)) {
    check_unknown(e, out);
  } else if (same_key(e.key, "Maxfilesize") || same_key(e.key, "Maxtotalsize")) {
    check_size(e, out);
  } else if (same_key(e.key, "Flushthread") || same_key(e.key, "Lostlines") ||
             same_key(e.key, "Reopen") || same_key(e.key, "Tailsafe")) {
    check_switch(e, out);
  } else if (same_key(e.key, "LogFilePermission")) {
    check_permission(e, out);
  } else if (same_key(e.key, "Logging")) {
    check_mask(e, out);
  } else if (same_key(e.key, "Rotatetime")) {
    check_rotatetime(e, out);
  }
}

// Following and timed rotation are the flush thread's work.
void check_needs_thread(const std::vector<IniEntry>& entries, Warnings* out) {
  const IniEntry* thread = find_entry(entries, "Flushthread");
  if (thread != nullptr && reads_as_on(thread->value)) return;
  const IniEntry* reopen = find_entry(entries, "Reopen");
  const IniEntry* interval = find_entry(entries, "Reopeninterval");
  const IniEntry* rotate = find_entry(entries, "Rotatetime");
  if ((reopen != nullptr && reads_as_on(reopen->value)) ||
      (interval != nullptr && std::strtoul(interval->value.c_str(), nullptr, 0) != 0) ||
      (rotate != nullptr &&
       (rotate->value == "daily" || rotate->value == "hourly"))) {
    out->push_back("Reopen, Reopeninterval and Rotatetime need Flushthread=yes;"
                   " without it they are ignored");
  }
}

}  // namespace

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
  const char* best = kKnownKeys[0];
  size_t best_distance = edit_distance(key, best);
  for (size_t i = 1; i < kKnownKeyCount; ++i) {
    const size_t d = edit_distance(key, kKnownKeys[i]);
    if (d < best_distance) {
      best = kKnownKeys[i];
      best_distance = d;
    }
  }
  return best;
}

bool reads_as_on(const std::string& value) {
  if (value.find("yes") != std::string::npos) return true;
  if (value.find("no") != std::string::npos) return false;
  return std::strtoul(value.c_str(), nullptr, 0) == 1;
}

std::vector<std::string> lint_entries(const std::vector<IniEntry>& entries) {
  Warnings out;
  for (const IniEntry& e : entries) check_entry(e, &out);
  check_needs_thread(entries, &out);
  return out;
}

}  // namespace qellog_tool
