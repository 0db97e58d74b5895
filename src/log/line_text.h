// How a text stands inside a line of the log, and how lines end. A text
// never ends a line of its own: a CR in it is shown as the two characters
// "\r" (and, in a log with LF line ends, a LF as "\n"), and a text that
// does not fit is cut only between whole characters. Also the names that a
// log gives its host's message classes. Pure: texts in, texts out.
#ifndef QELLOG_SRC_LOG_LINE_TEXT_H
#define QELLOG_SRC_LOG_LINE_TEXT_H

#include <cstddef>
#include <cstring>

namespace qellog {

// Copies at most N - 1 characters of `src` (null counts as empty) into
// `dst` and clears the rest, so the text stays terminated.
template <size_t N>
void copy_text(char (&dst)[N], const char* src) {
  std::memset(dst, 0, N);
  if (src != nullptr) std::memcpy(dst, src, strnlen(src, N - 1));
}

// The line end of a log: CR LF (the default), or LF alone.
inline const char* line_end(bool lf_only) { return lf_only ? "\n" : "\r\n"; }
inline size_t line_end_length(bool lf_only) { return lf_only ? 1 : 2; }

// The bytes that `c` takes once shown: 2 for a CR (and for a LF when
// `lf_only`), else 1.
inline size_t shown_width(char c, bool lf_only) {
  return c == '\r' || (lf_only && c == '\n') ? 2 : 1;
}

// The largest cut at or before `at` (at most `len`) that does not split a
// UTF-8 sequence of `text`: a cut inside a valid lead byte's sequence moves
// back to that lead byte; a byte that begins no sequence is cut as a byte.
// "a\xc3\xa9b" cut at 2 => 1; "a\xa9\xa9" cut at 2 => 2.
size_t whole_char_cut(const char* text, size_t len, size_t at);

// Writes `text` (`len` bytes) into `out` as a line shows it, at most `room`
// bytes, and returns the bytes written. Stops before an escape or a
// character that would not fit whole. A text without CR (nor LF when
// `lf_only`) that fits is copied as it is.
size_t show_text(char* out, size_t room, const char* text, size_t len, bool lf_only);

// An upper bound of the bytes `text` takes once shown.
size_t shown_bound(const char* text, size_t len, bool lf_only);

// Turns every CR LF of `buf` (`len` bytes) into LF alone, in place, and
// returns the new length: the fixed texts of a log with LF line ends, whose
// host texts went through show_text() and hold no CR of their own.
size_t lf_line_ends(char* buf, size_t len);

// Names of the host's message classes: 1 to kClassNameMax characters of
// A-Z, 0-9 and '_', never "ERROR" (bit 0x1's tag), each for exactly one
// bit other than 0x1.
constexpr size_t kClassNameMax = 15;
bool valid_class_name(const char* name);
bool nameable_class_bit(unsigned bit);

// Why `name` cannot name `bit` (for the reader's trace and the tool), or
// null when it can.
const char* class_name_problem(unsigned bit, const char* name);

// The names of one log's classes; a table is never changed once a log
// uses it, so that writers read it without a lock.
struct ClassNames {
  unsigned named = 0;  // the bits that have a name
  char name[32][kClassNameMax + 1] = {};
  // The table this one replaced, kept until the log goes: a writer may
  // still read it.
  const ClassNames* replaced = nullptr;

  // The name of the lowest named bit of `flags`, or null.
  const char* of(unsigned flags) const {
    const unsigned hit = flags & named;
    return hit != 0 ? name[__builtin_ctz(hit)] : nullptr;
  }
};

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LINE_TEXT_H
