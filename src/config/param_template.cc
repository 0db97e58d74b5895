// The parameter file that `qellog --init` writes.
#include "config/param_template.h"

#include "config/ini_keys.h"

namespace qellog {
namespace {

// Each line of `help` as a comment line.
std::string commented(const char* help) {
  std::string out = "; ";
  for (const char* p = help; *p != '\0'; ++p) {
    out += *p;
    if (*p == '\n') out += "; ";
  }
  return out + "\n";
}

std::string key_lines(const IniKey& key, const std::string& log_dir, const std::string& log_file) {
  std::string value = key.example != nullptr ? key.example : "";
  if (key.kind == ValueKind::kDirectory) value = log_dir;
  if (key.kind == ValueKind::kFileName) value = log_file;
  return commented(key.help) + (key.active ? "" : ";") + key.name + " = " + value + "\n";
}

}  // namespace

std::string param_file_template(const std::string& name, const std::string& log_dir,
                                const std::string& log_file) {
  std::string text = "; Parameters of the log \"" + name +
                     "\", read by libqellog when the program\n"
                     "; calls init_logging(\"" +
                     name + "\"), or when `qellog " + name +
                     "` runs.\n"
                     "; Numbers are read like C's strtoul in base 0: 0x1f is hexadecimal,\n"
                     "; 0644 octal, anything else decimal.\n\n[" +
                     kLogSection + "]\n";
  std::string optional;
  for (size_t i = 0; i < kLogKeyCount; ++i) {
    const IniKey& key = kLogKeys[i];
    (key.active ? text : optional) += key_lines(key, log_dir, log_file);
  }
  text += "; Optional, off while commented out:\n" + optional;
  return text + "\n[" + kClassSection +
         "]\n"
         "; Names of the program's own message classes, NAME = bit: a line of\n"
         "; that class shows NAME after the error tag. 1 to 15 characters of\n"
         "; A-Z, 0-9 and _; one bit each, not 0x1 (ERROR).\n"
         ";INFO = 0x2\n"
         ";WARN = 0x4\n"
         ";DEBUG = 0x8\n"
         "\n[GENERAL]\n"
         "; A number for the program's own use; the library gives it no "
         "meaning.\ngeneral = 0\n";
}

}  // namespace qellog
