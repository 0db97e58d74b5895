// The readers of value texts.
#include "config/ini_values.h"

#include <fcntl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "qellog/log.h"

namespace qellog {

// "Mb" is looked for first, so a text with both units is read in Mb.
const SizeUnit kSizeUnits[] = {{"Mb", 20}, {"kb", 10}};
const size_t kSizeUnitCount = sizeof kSizeUnits / sizeof kSizeUnits[0];

const char kSwitchOn[] = "yes";
const char kSwitchOff[] = "no";
const char kTruncWord[] = "TRUNC";
const char kCreateWord[] = "CREAT";
const int kDefaultOpenFlags = O_WRONLY;
const unsigned kDefaultMode = 0644;

namespace {

// The base strtoul(text, .., 0) reads in, from the prefix after the blanks
// and the sign it skips.
int base_of(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  if (*text == '+' || *text == '-') ++text;
  if (text[0] != '0') return 10;
  const bool hex =
      (text[1] == 'x' || text[1] == 'X') && std::isxdigit(static_cast<unsigned char>(text[2]));
  return hex ? 16 : 8;
}

}  // namespace

NumberReading read_number(const char* text) {
  NumberReading r;
  char* end = nullptr;
  r.value = std::strtoul(text, &end, 0);
  r.rest = end;
  r.has_digits = end != text;
  r.base = base_of(text);
  return r;
}

unsigned read_word(const char* text) { return static_cast<unsigned>(read_number(text).value); }

SizeReading read_size(const char* text) {
  SizeReading r;
  r.number = read_number(text);
  r.bytes = r.number.value;
  for (size_t i = 0; i < kSizeUnitCount; ++i) {
    const char* at = std::strstr(text, kSizeUnits[i].text);
    if (at == nullptr) continue;
    r.unit = &kSizeUnits[i];
    r.unit_at = at;
    r.bytes <<= kSizeUnits[i].shift;
    break;
  }
  return r;
}

SwitchReading read_switch(const char* text) {
  SwitchReading r;
  for (const char* word : {kSwitchOn, kSwitchOff}) {
    const char* at = std::strstr(text, word);
    if (at == nullptr) continue;
    r.word = word;
    r.word_at = at;
    r.on = word == kSwitchOn;
    r.shown = r.on ? 1 : 0;
    return r;
  }
  r.number = read_number(text);
  r.shown = static_cast<int>(r.number.value);
  r.on = r.number.value == 1;
  return r;
}

unsigned read_period(const char* text) {
  for (unsigned period : {ROTATETIME_DAILY, ROTATETIME_HOURLY}) {
    if (std::strcmp(text, period_word(period)) == 0) return period;
  }
  return ROTATETIME_NONE;
}

const char* period_word(unsigned period) {
  switch (period) {
    case ROTATETIME_HOURLY:
      return "hourly";
    case ROTATETIME_DAILY:
      return "daily";
    default:
      return nullptr;
  }
}

unsigned read_lineend(const char* text) {
  return std::strcmp(text, lineend_word(LINEEND_LF)) == 0 ? LINEEND_LF : LINEEND_CRLF;
}

const char* lineend_word(unsigned lineend) { return lineend == LINEEND_LF ? "lf" : "crlf"; }

int read_open_flags(const char* text) {
  // Only the two words matter, so "O_CREAT|O_TRUNC", "creat" or
  // "truncate the file" all work; O_WRONLY is always kept.
  int flags = O_WRONLY;
  if (strcasestr(text, kTruncWord) != nullptr) flags |= O_TRUNC;
  if (strcasestr(text, kCreateWord) != nullptr) flags |= O_CREAT;
  return flags;
}

}  // namespace qellog
