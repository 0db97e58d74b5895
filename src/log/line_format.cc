#include "log/line_format.h"

#include <cstdint>

#include "log/hot_path.h"

namespace qellog {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Appends `v` as printf's "%0<width>d" would, never past `end`. Digits are
// written two at a time from the back: this runs several times per line.
QELLOG_HOT char* put_dec(char* p, char* end, long v, int width) {
  unsigned long u = static_cast<unsigned long>(v);
  if (v < 0) {
    if (p < end) *p++ = '-';
    u = 0UL - u;
    --width;  // the sign counts towards the width
  }
  int n = 1;
  for (unsigned long t = u; t >= 10; t /= 10) ++n;
  const int total = n > width ? n : width;
  if (end - p < total) return end;  // cannot happen with a line buffer
  char* q = p + total;
  while (u >= 100) {
    const unsigned pair = static_cast<unsigned>(u % 100) * 2;
    u /= 100;
    *--q = kDigitPairs[pair + 1];
    *--q = kDigitPairs[pair];
  }
  if (u >= 10) {
    *--q = kDigitPairs[u * 2 + 1];
    *--q = kDigitPairs[u * 2];
  } else {
    *--q = static_cast<char>('0' + u);
  }
  while (q > p) *--q = '0';
  return p + total;
}

// Two or three digits of a value known to lie in 0..99 or 0..999 (the
// calendar fields and milliseconds); anything else goes the general way.
QELLOG_HOT char* put2(char* p, char* end, int v) {
  if (v < 0 || v > 99 || end - p < 2) return put_dec(p, end, v, 2);
  p[0] = kDigitPairs[v * 2];
  p[1] = kDigitPairs[v * 2 + 1];
  return p + 2;
}

QELLOG_HOT char* put3(char* p, char* end, int v) {
  if (v < 0 || v > 999 || end - p < 3) return put_dec(p, end, v, 3);
  p[0] = static_cast<char>('0' + v / 100);
  return put2(p + 1, end, v % 100);
}

QELLOG_HOT char* put_char(char* p, char* end, char c) {
  if (p < end) *p++ = c;
  return p;
}

QELLOG_HOT char* put_text(char* p, char* end, const char* s) {
  while (*s != '\0' && p < end) *p++ = *s++;
  return p;
}

QELLOG_HOT char* put_hex8(char* p, char* end, unsigned v) {
  static const char kHex[] = "0123456789abcdef";
  for (int shift = 28; shift >= 0 && p < end; shift -= 4) {
    *p++ = kHex[(v >> shift) & 0xf];
  }
  return p;
}

// "YYYY-MM-DDT" of the dated time field.
QELLOG_HOT char* put_date(char* p, char* end, const struct tm& cal) {
  p = put_dec(p, end, cal.tm_year + 1900L, 4);
  p = put_char(p, end, '-');
  p = put2(p, end, cal.tm_mon + 1);
  p = put_char(p, end, '-');
  p = put2(p, end, cal.tm_mday);
  return put_char(p, end, 'T');
}

// "+hh:mm" or "-hh:mm": the zone's offset from UTC in whole minutes (a
// historical offset's seconds are dropped), never "Z", so that every line
// has the same shape.
QELLOG_HOT char* put_offset(char* p, char* end, long gmtoff) {
  p = put_char(p, end, gmtoff < 0 ? '-' : '+');
  const long minutes = (gmtoff < 0 ? -gmtoff : gmtoff) / 60;
  p = put2(p, end, static_cast<int>(minutes / 60));
  p = put_char(p, end, ':');
  return put2(p, end, static_cast<int>(minutes % 60));
}

// The time field: "hh:mm:ss.mmm ", dated with its offset in ISO form.
QELLOG_HOT char* put_time(char* p, char* end, const LineFields& f) {
  const struct tm& cal = f.cal;
  if (f.dated) p = put_date(p, end, cal);
  p = put2(p, end, cal.tm_hour);
  p = put_char(p, end, ':');
  p = put2(p, end, cal.tm_min);
  p = put_char(p, end, ':');
  p = put2(p, end, cal.tm_sec);
  p = put_char(p, end, '.');
  p = put3(p, end, static_cast<int>(f.now.tv_usec / 1000));
  if (f.dated) p = put_offset(p, end, cal.tm_gmtoff);
  return put_char(p, end, ' ');
}

// The elapsed-time field: "mmmmmm.uuums ".
QELLOG_HOT char* put_elapsed(char* p, char* end, const LineFields& f) {
  int ms = 0;
  int us = 0;
  elapsed_parts(f.now, f.last, &ms, &us);
  p = put_dec(p, end, ms, 6);
  p = put_char(p, end, '.');
  p = put3(p, end, us);
  return put_text(p, end, "ms ");
}

}  // namespace

QELLOG_HOT void elapsed_parts(const timeval& now, const timeval& last, int* ms, int* us) {
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

double stopwatch_ms(const timeval& start, const timeval& stop) {
  long long d_us = static_cast<long long>(stop.tv_usec) - start.tv_usec;
  long long d_s = static_cast<long long>(stop.tv_sec) - start.tv_sec;
  if (d_us < 0) {
    d_us += 1000000;
    d_s -= 1;
  }
  return (static_cast<double>(d_us) + 1000000.0 * static_cast<double>(d_s)) / 1000.0;
}

QELLOG_HOT size_t format_prefix(const LineFields& f, char* buf, size_t cap) {
  char* p = buf;
  char* end = buf + cap;
  if (f.time) p = put_time(p, end, f);
  if (f.delta) p = put_elapsed(p, end, f);
  if (f.pid_tid) {
    p = put_dec(p, end, f.pid, 5);
    p = put_char(p, end, ':');
    p = put_dec(p, end, f.tid, 5);
    p = put_char(p, end, ' ');
  }
  if (f.cpu) {
    p = put2(p, end, f.cpu_no);
    p = put_char(p, end, ' ');
  }
  if (f.value) {
    p = put_hex8(p, end, f.value_bits);
    p = put_char(p, end, ' ');
  }
  if (f.error_tag) p = put_text(p, end, "ERROR ");
  if (f.class_name != nullptr) {
    p = put_text(p, end, f.class_name);
    p = put_char(p, end, ' ');
  }
  return static_cast<size_t>(p - buf);
}

}  // namespace qellog
