// How the configuration reader reads a value text: numbers, sizes with a
// unit, switches, rotation periods and open flags. Pure: texts in, values
// out, no I/O. The set-up reads every key through these, and a program that
// wants to say how a value reads asks them rather than guessing.
#ifndef QELLOG_SRC_CONFIG_INI_VALUES_H
#define QELLOG_SRC_CONFIG_INI_VALUES_H

#include <cstddef>

namespace qellog {

// A number: strtoul in base 0, so 0x.. is hexadecimal, a leading 0 octal,
// anything else decimal; leading blanks are skipped, -1 gives all bits set,
// and a text without digits reads as 0.
struct NumberReading {
  unsigned long value = 0;
  int base = 10;               // 16, 8 or 10, as the text's prefix selects
  bool has_digits = false;     // false: no number at all, the value is 0
  const char* rest = nullptr;  // the text after the number
};
NumberReading read_number(const char* text);
// The number's low 32 bits.
unsigned read_word(const char* text);

// A size: a number shifted left by the first unit of kSizeUnits found
// anywhere in the text (case-sensitive), or plain bytes when none is found.
// The shift is done on 64 bits and drops what leaves them.
struct SizeUnit {
  const char* text;
  unsigned shift;
};
extern const SizeUnit kSizeUnits[];
extern const size_t kSizeUnitCount;

struct SizeReading {
  unsigned long bytes = 0;
  NumberReading number;
  const SizeUnit* unit = nullptr;  // null: no unit found
  const char* unit_at = nullptr;   // where the unit stands in the text
};
SizeReading read_size(const char* text);

// A switch: on when the text contains kSwitchOn, else off when it contains
// kSwitchOff (both case-sensitive, kSwitchOn first); any other text is a
// number, and only 1 is on.
extern const char kSwitchOn[];
extern const char kSwitchOff[];
struct SwitchReading {
  bool on = false;
  int shown = 0;                  // 1, 0 or the number, for the trace
  const char* word = nullptr;     // kSwitchOn or kSwitchOff; null for a number
  const char* word_at = nullptr;  // where that word stands in the text
  NumberReading number;           // when no word decided
};
SwitchReading read_switch(const char* text);

// ROTATETIME_HOURLY or ROTATETIME_DAILY for their words exactly as
// period_word() spells them; ROTATETIME_NONE for any other text.
unsigned read_period(const char* text);
// The word of ROTATETIME_HOURLY or ROTATETIME_DAILY; null for any other.
const char* period_word(unsigned period);

// LINEEND_LF for the word of LINEEND_LF exactly as lineend_word() spells
// it ("lf"); LINEEND_CRLF for any other text ("crlf" among them).
unsigned read_lineend(const char* text);
const char* lineend_word(unsigned lineend);

// Open flags: O_WRONLY, plus O_TRUNC when the text contains kTruncWord and
// O_CREAT when it contains kCreateWord, both in any letter case; nothing
// else in the text has an effect.
extern const char kTruncWord[];
extern const char kCreateWord[];
int read_open_flags(const char* text);

// The open flags and permission bits of a log whose file does not say.
extern const int kDefaultOpenFlags;
extern const unsigned kDefaultMode;

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_INI_VALUES_H
