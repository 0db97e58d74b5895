#include "log/line_text.h"

#include <cstring>

#include "log/hot_path.h"
#include "qellog/log.h"

namespace qellog {
namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The length of the sequence a lead byte opens; 0 for a byte that opens
// none (a continuation byte, or 0xF8 and above).
size_t sequence_length(unsigned char b) {
  if (b >= 0xC0 && b < 0xE0) return 2;
  if (b >= 0xE0 && b < 0xF0) return 3;
  if (b >= 0xF0 && b < 0xF8) return 4;
  return 0;
}

// True when the byte needs an escape of two characters.
QELLOG_HOT bool escaped(char c, bool lf_only) { return c == '\r' || (lf_only && c == '\n'); }

QELLOG_HOT bool has_escapes(const char* text, size_t len, bool lf_only) {
  return std::memchr(text, '\r', len) != nullptr ||
         (lf_only && std::memchr(text, '\n', len) != nullptr);
}

}  // namespace

QELLOG_HOT size_t whole_char_cut(const char* text, size_t len, size_t at) {
  if (at >= len) return len;
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  if (!is_continuation(t[at])) return at;
  // Back over at most three continuation bytes to a lead byte whose
  // sequence runs past the cut.
  for (size_t back = 1; back <= 3 && back <= at; ++back) {
    const unsigned char b = t[at - back];
    if (is_continuation(b)) continue;
    return sequence_length(b) > back ? at - back : at;
  }
  return at;
}

QELLOG_HOT size_t show_text(char* out, size_t room, const char* text, size_t len, bool lf_only) {
  if (!has_escapes(text, len, lf_only)) {
    const size_t n = len <= room ? len : whole_char_cut(text, len, room);
    std::memcpy(out, text, n);
    return n;
  }
  size_t o = 0;
  size_t i = 0;
  for (; i < len; ++i) {
    const char c = text[i];
    if (escaped(c, lf_only)) {
      if (room - o < 2) break;
      out[o++] = '\\';
      out[o++] = c == '\r' ? 'r' : 'n';
    } else {
      if (o == room) break;
      out[o++] = c;
    }
  }
  // The bytes just before the cut were copied as they are (an escape is
  // never part of a sequence): a split sequence among them goes.
  return i < len ? o - (i - whole_char_cut(text, len, i)) : o;
}

size_t shown_bound(const char* text, size_t len, bool lf_only) {
  return has_escapes(text, len, lf_only) ? 2 * len : len;
}

size_t lf_line_ends(char* buf, size_t len) {
  size_t o = 0;
  for (size_t i = 0; i < len; ++i) {
    if (buf[i] == '\r' && i + 1 < len && buf[i + 1] == '\n') continue;
    buf[o++] = buf[i];
  }
  return o;
}

bool valid_class_name(const char* name) {
  if (name == nullptr) return false;
  const size_t n = std::strlen(name);
  if (n == 0 || n > kClassNameMax || std::strcmp(name, "ERROR") == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    const char c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

bool nameable_class_bit(unsigned bit) {
  return bit != 0 && (bit & (bit - 1)) == 0 && bit != LOGBIT_ERROR;
}

const char* class_name_problem(unsigned bit, const char* name) {
  if (!nameable_class_bit(bit)) {
    return bit == LOGBIT_ERROR ? "bit 0x1 is the error class, named ERROR" : "not exactly one bit";
  }
  if (!valid_class_name(name)) {
    return name != nullptr && std::strcmp(name, "ERROR") == 0
               ? "ERROR is the name of bit 0x1"
               : "a name is 1 to 15 characters of A-Z, 0-9 and _";
  }
  return nullptr;
}

}  // namespace qellog
