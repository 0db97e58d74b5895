// The readings of values behind `qellog --check`.
#include "readings.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "config/ini_values.h"
#include "log/line_format.h"
#include "qellog/log.h"

namespace qellog_tool {
namespace {

using qellog::IniKey;
using qellog::ValueKind;

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
    return "decimal " + digits + " is octal " + octal + "; write 0" + digits + " for an octal mode";
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
    return "the unit " + quoted(tail.substr(0, tail.find_first_of(" \t;#"))) + " is not " +
           unit_names() + " (case matters)";
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

std::string length_problem(const IniKey& key, const char* text, unsigned long value) {
  const std::string problem = number_problem(key, text, value);
  if (!problem.empty() || qellog::read_number(text).value == value) return problem;
  return "outside " + std::to_string(qellog::kLineTextMax) + " to " +
         std::to_string(qellog::kLineTextLimit);
}

std::string lineend_problem(const char* text) {
  const std::string t = trimmed(text);
  if (t.empty() || t == qellog::lineend_word(qellog::read_lineend(text))) return "";
  return "only " + quoted(qellog::lineend_word(LINEEND_LF)) + " and " +
         quoted(qellog::lineend_word(LINEEND_CRLF)) + ", exactly so, choose a line end";
}

std::string with_meaning(const IniKey& key, const char* text, unsigned long value,
                         std::string shown) {
  if (key.unit[0] != '\0') shown += std::string(" ") + key.unit;
  const qellog::SizeReading size = qellog::read_size(text);
  if (key.kind == ValueKind::kSize && size.unit != nullptr) {
    shown += " (" + std::to_string(size.number.value) + " " + size.unit->text + ")";
  }
  const std::string meaning = key.meaning != nullptr ? key.meaning(value) : "";
  return meaning.empty() ? shown : shown + " (" + meaning + ")";
}

std::string printed(const char* fmt, unsigned long value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

}  // namespace

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string shown_value(size_t index, const char* text, unsigned long value) {
  const IniKey& key = qellog::kLogKeys[index];
  switch (key.kind) {
    case ValueKind::kOpenFlags:
      return printed("0x%lx", value) + " (O_WRONLY" + ((value & O_CREAT) ? "|O_CREAT" : "") +
             ((value & O_TRUNC) ? "|O_TRUNC" : "") + ")";
    case ValueKind::kMode:
      return printed("0%lo", value);
    case ValueKind::kSwitch:
      return value != 0 ? "on" : "off";
    case ValueKind::kPeriod: {
      const char* word = qellog::period_word(static_cast<unsigned>(value));
      return word != nullptr ? word : "off";
    }
    case ValueKind::kLineEnd:
      return qellog::lineend_word(static_cast<unsigned>(value));
    case ValueKind::kDirectory:
    case ValueKind::kFileName:
      return text;
    case ValueKind::kMask:
      return with_meaning(key, text, value, printed("0x%lx", value));
    default:
      return with_meaning(key, text, value, std::to_string(value));
  }
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
    case ValueKind::kLength:
      return length_problem(key, text, value);
    case ValueKind::kLineEnd:
      return lineend_problem(text);
    case ValueKind::kDirectory:
      if (text[0] == '\0' || text[0] == '/') return "";
      return "a relative directory: where the log goes depends on the "
             "program's working directory";
    default:
      return "";
  }
}

}  // namespace qellog_tool
