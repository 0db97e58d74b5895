// How the library reads a value of the parameter file, told for people:
// the value in force in words, and what about a value's text is probably
// not meant. Every reading is the library's own (config/ini_values.h).
#ifndef QELLOG_TOOLS_READINGS_H
#define QELLOG_TOOLS_READINGS_H

#include <cstddef>
#include <string>

#include "config/ini_keys.h"

namespace qellog_tool {

// `value` of the key at `index` of qellog::kLogKeys as the library reads
// `text`, for people: bytes with the number and unit they came from, a mask
// in hexadecimal, a switch as on or off, and what a value means.
std::string shown_value(size_t index, const char* text, unsigned long value);

// What is probably not meant about `text` as the value of `key`, which the
// library reads as `value`; "" when nothing is.
std::string value_problem(const qellog::IniKey& key, const char* text, unsigned long value);

std::string quoted(const std::string& s);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_READINGS_H
