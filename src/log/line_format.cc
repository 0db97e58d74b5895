// The prefix fields of a message line, written into a caller's buffer.
// Pure: no clock, no system call.
#include <cstdint>
#include <cstring>

#include "log/internal.h"

namespace qellog {
namespace {

// Appends `v` as printf's "%0<width>d" would, never past `end`.
char* put_dec(char* p, char* end, long v, int width) {
  char digits[24];
  int n = 0;
  unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v)
                          : static_cast<unsigned long>(v);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) {
    if (p < end) *p++ = '-';
    --width;  // the sign counts towards the width
  }
  for (int pad = width - n; pad > 0 && p < end; --pad) *p++ = '0';
  while (n > 0 && p < end) *p++ = digits[--n];
  return p;
}

char* put_char(char* p, char* end, char c) {
  if (p < end) *p++ = c;
  return p;
}

char* put_text(char* p, char* end, const char* s) {
  while (*s != '\0' && p < end) *p++ = *s++;
  return p;
}

char* put_hex8(char* p, char* end, unsigned v) {
  static const char kHex[] = "0123456789abcdef";
  for (int shift = 28; shift >= 0 && p < end; shift -= 4) {
    *p++ = kHex[(v >> shift) & 0xf];
  }
  return p;
}

}  // namespace

void elapsed_parts(const timeval& now, const timeval& last, int* ms, int* us) {
  int64_t d_us = static_cast<int64_t>(now.tv_usec) - last.tv_usec;
  int64_t d_s = static_cast<int64_t>(now.tv_sec) - last.tv_sec;
  if (d_us < 0) {
    d_us += 1000000;
    d_s -= 1;
  }
  // 64-bit milliseconds: a gap of 2^31 ms or more would overflow an int.
  const int64_t total_ms = d_s * 1000 + d_us / 1000;
  *ms = static_cast<int>(total_ms % 1000000);
  *us = static_cast<int>(d_us % 1000);
}

size_t format_prefix(const LineFields& f, char* buf, size_t cap) {
  char* p = buf;
  char* end = buf + cap;
  if (f.time) {
    struct tm cal;
    local_calendar(f.now.tv_sec, &cal);
    p = put_dec(p, end, cal.tm_hour, 2);
    p = put_char(p, end, ':');
    p = put_dec(p, end, cal.tm_min, 2);
    p = put_char(p, end, ':');
    p = put_dec(p, end, cal.tm_sec, 2);
    p = put_char(p, end, '.');
    p = put_dec(p, end, f.now.tv_usec / 1000, 3);
    p = put_char(p, end, ' ');
  }
  if (f.delta) {
    int ms = 0;
    int us = 0;
    elapsed_parts(f.now, f.last, &ms, &us);
    p = put_dec(p, end, ms, 6);
    p = put_char(p, end, '.');
    p = put_dec(p, end, us, 3);
    p = put_text(p, end, "ms ");
  }
  if (f.pid_tid) {
    p = put_dec(p, end, f.pid, 5);
    p = put_char(p, end, ':');
    p = put_dec(p, end, f.tid, 5);
    p = put_char(p, end, ' ');
  }
  if (f.cpu) {
    p = put_dec(p, end, f.cpu_no, 2);
    p = put_char(p, end, ' ');
  }
  if (f.value) {
    p = put_hex8(p, end, f.value_bits);
    p = put_char(p, end, ' ');
  }
  if (f.error_tag) p = put_text(p, end, "ERROR ");
  return static_cast<size_t>(p - buf);
}

}  // namespace qellog
