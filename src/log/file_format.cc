#include "log/file_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/line_text.h"

namespace qellog {
namespace {

constexpr char kRule[] = "------------------------------------------------------------------------";
static_assert(sizeof kRule - 1 == kRuleLength, "the rule under the trailer");

size_t clamp(int n, size_t cap) {
  if (n < 0 || cap == 0) return 0;
  return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

// Reads exactly `width` digits at `p` into a number in [lo, hi].
bool read_field(const char* p, int width, int lo, int hi, int* out) {
  int v = 0;
  for (int i = 0; i < width; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  *out = v;
  return v >= lo && v <= hi;
}

// The last path component of `text`, which ends at `end`.
const char* leaf_of(const char* text, const char* end) {
  const char* leaf = text;
  for (const char* p = text; p < end; ++p) {
    if (*p == '/') leaf = p + 1;
  }
  return leaf;
}

// With LF line ends, the text composed with CR LF is rewritten in place.
size_t ended(char* buf, size_t n, bool lf_only) { return lf_only ? lf_line_ends(buf, n) : n; }

// `text` as a line shows it, at `buf` + `at`, never past cap - 1.
size_t put_shown(char* buf, size_t cap, size_t at, const char* text, bool lf_only) {
  if (at + 1 >= cap) return at;
  at += show_text(buf + at, cap - 1 - at, text, std::strlen(text), lf_only);
  buf[at] = '\0';
  return at;
}

size_t put_plain(char* buf, size_t cap, size_t at, const char* text) {
  if (at + 1 >= cap) return at;
  const size_t n = std::min(std::strlen(text), cap - 1 - at);
  std::memcpy(buf + at, text, n);
  buf[at + n] = '\0';
  return at + n;
}

// The end of the first line of `data`: its LF, or the CR of its CR LF.
// Null when there is no LF.
const char* first_line_end(const char* data, size_t len) {
  const char* lf = static_cast<const char*>(std::memchr(data, '\n', len));
  if (lf == nullptr) return nullptr;
  return lf > data && lf[-1] == '\r' ? lf - 1 : lf;
}

// The line after the one that ends at `end`.
const char* next_line(const char* end) { return end + (*end == '\r' ? 2 : 1); }

bool leaf_equals(const char* path, const char* end, const char* leaf) {
  const char* own = leaf_of(path, end);
  const size_t n = static_cast<size_t>(end - own);
  return n == std::strlen(leaf) && std::memcmp(own, leaf, n) == 0;
}

}  // namespace

size_t format_start_header(char* buf, size_t cap, const char* filename, const struct tm& cal,
                           bool lf_only) {
  const size_t n = clamp(std::snprintf(buf, cap,
                                       "%s%s\r\n%s%02d.%02d.%04d %02d:%02d:%02d \r\n"
                                       "QEL Loglib Version: %s created %s\r\n\r\n",
                                       kTextLogfile, filename, kTextStarted, cal.tm_mday,
                                       cal.tm_mon + 1, cal.tm_year + 1900, cal.tm_hour, cal.tm_min,
                                       cal.tm_sec, kLibVersion, kLibCreated),
                         cap);
  return ended(buf, n, lf_only);
}

size_t format_banner(char* buf, size_t cap, const HostTexts& host, bool lf_only) {
  if (cap == 0) return 0;
  buf[0] = '\0';
  size_t n = put_shown(buf, cap, 0, host.name, lf_only);
  n = put_plain(buf, cap, n, " Version: ");
  n = put_shown(buf, cap, n, host.vers, lf_only);
  n = put_plain(buf, cap, n, " created ");
  n = put_shown(buf, cap, n, host.created, lf_only);
  n = put_plain(buf, cap, n, "\r\n");
  if (host.desc[0] != '\0') {
    n = put_plain(buf, cap, n, "Description: ");
    n = put_shown(buf, cap, n, host.desc, lf_only);
    n = put_plain(buf, cap, n, "\r\n");
  }
  n = put_plain(buf, cap, n, "\r\n");
  return ended(buf, n, lf_only);
}

size_t format_trailer(char* buf, size_t cap, const struct tm& cal, bool lf_only) {
  const size_t n = clamp(std::snprintf(buf, cap,
                                       "\r\n%s%02d.%02d.%04d %02d:%02d.%02d "
                                       "\r\n%s\r\n\r\n\r\n",
                                       kTextEnded, cal.tm_mday, cal.tm_mon + 1, cal.tm_year + 1900,
                                       cal.tm_hour, cal.tm_min, cal.tm_sec, kRule),
                         cap);
  return ended(buf, n, lf_only);
}

size_t format_continuation_header(char* buf, size_t cap, const char* filename, const struct tm& cal,
                                  const HostTexts& host, bool lf_only) {
  const size_t n =
      clamp(std::snprintf(buf, cap,
                          "%s\r\n%s%02d.%02d.%04d %02d:%02d:%02d\r\n"
                          "QEL Loglib Version: %s created %s\r\n\r\n",
                          filename, kTextContinued, cal.tm_mday, cal.tm_mon + 1, cal.tm_year + 1900,
                          cal.tm_hour, cal.tm_min, cal.tm_sec, kLibVersion, kLibCreated),
            cap);
  const size_t head = ended(buf, n, lf_only);
  return head + format_banner(buf + head, cap - head, host, lf_only);
}

size_t format_time_line(char* buf, size_t cap, const struct tm& cal, long millis, bool lf_only) {
  const size_t n =
      clamp(std::snprintf(buf, cap, "%02d:%02d.%02d.%03d %02d.%02d.%04d\r\n", cal.tm_hour,
                          cal.tm_min, cal.tm_sec, static_cast<int>(millis), cal.tm_mday,
                          cal.tm_mon + 1, cal.tm_year + 1900),
            cap);
  return ended(buf, n, lf_only);
}

void format_rotated_name(char* buf, size_t cap, const char* base, const struct tm& cal, long millis,
                         const char* ext) {
  std::snprintf(buf, cap, "%s_%04d_%02d_%02d_%02d_%02d_%02d_%03d%s", base, cal.tm_year + 1900,
                cal.tm_mon + 1, cal.tm_mday, cal.tm_hour, cal.tm_min, cal.tm_sec,
                static_cast<int>(millis), ext);
}

long long RotatedStamp::key() const {
  long long k = year;
  k = k * 100 + month;
  k = k * 100 + day;
  k = k * 100 + hour;
  k = k * 100 + minute;
  k = k * 100 + second;
  return k * 1000 + millis;
}

bool parse_rotated_name(const char* entry, const char* stem, const char* ext, RotatedStamp* out) {
  // "_YYYY_MM_DD_hh_mm_ss_mmm": 24 characters.
  constexpr size_t kStampLength = 24;
  const size_t stem_len = std::strlen(stem);
  const size_t ext_len = std::strlen(ext);
  if (std::strlen(entry) != stem_len + kStampLength + ext_len) return false;
  if (std::memcmp(entry, stem, stem_len) != 0) return false;
  const char* s = entry + stem_len;
  if (std::strcmp(s + kStampLength, ext) != 0) return false;
  static const size_t kSeparators[] = {0, 5, 8, 11, 14, 17, 20};
  for (size_t at : kSeparators) {
    if (s[at] != '_') return false;
  }
  RotatedStamp t{};
  const bool ok = read_field(s + 1, 4, 0, 9999, &t.year) && read_field(s + 6, 2, 1, 12, &t.month) &&
                  read_field(s + 9, 2, 1, 31, &t.day) && read_field(s + 12, 2, 0, 23, &t.hour) &&
                  read_field(s + 15, 2, 0, 59, &t.minute) &&
                  read_field(s + 18, 2, 0, 60, &t.second) &&
                  read_field(s + 21, 3, 0, 999, &t.millis);
  if (ok && out != nullptr) *out = t;
  return ok;
}

bool split_last_component(const char* path, size_t* dir_len, char* stem, size_t stem_cap, char* ext,
                          size_t ext_cap) {
  const char* leaf = leaf_of(path, path + std::strlen(path));
  *dir_len = static_cast<size_t>(leaf - path);
  const char* dot = std::strrchr(leaf, '.');
  if (dot != nullptr && std::strlen(dot) > 10) dot = nullptr;
  const size_t stem_len = dot != nullptr ? static_cast<size_t>(dot - leaf) : std::strlen(leaf);
  const char* ext_text = dot != nullptr ? dot : "";
  if (stem_len >= stem_cap || std::strlen(ext_text) >= ext_cap) return false;
  std::memcpy(stem, leaf, stem_len);
  stem[stem_len] = '\0';
  std::strcpy(ext, ext_text);
  return true;
}

bool begins_with_header_of(const char* data, size_t len, const char* leaf) {
  const char* end = first_line_end(data, len);
  if (end == nullptr) return false;
  const size_t head_len = sizeof kTextLogfile - 1;
  if (static_cast<size_t>(end - data) > head_len &&
      std::memcmp(data, kTextLogfile, head_len) == 0) {
    return leaf_equals(data + head_len, end, leaf);
  }
  const char* second = next_line(end);
  const size_t rest = len - static_cast<size_t>(second - data);
  const size_t cont_len = sizeof kTextContinued - 1;
  return rest >= cont_len && std::memcmp(second, kTextContinued, cont_len) == 0 &&
         leaf_equals(data, end, leaf);
}

bool header_time(const char* data, size_t len, struct tm* out) {
  const char* end = first_line_end(data, len);
  if (end == nullptr) return false;
  const char* second = next_line(end);
  const char* line = second;
  size_t rest = len - static_cast<size_t>(line - data);
  // A start header's first line is "Logfile: <name>"; a continuation
  // header's is the name alone.
  const bool start = std::strncmp(data, kTextLogfile, sizeof kTextLogfile - 1) == 0;
  const char* word = start ? kTextStarted : kTextContinued;
  const size_t n = std::strlen(word);
  if (rest >= n && std::memcmp(line, word, n) == 0) {
    line += n;
    rest -= n;
  }
  // "DD.MM.YYYY hh:mm:ss"
  constexpr size_t kStampLength = 19;
  if (line == second || rest < kStampLength || line[2] != '.' || line[5] != '.' ||
      line[10] != ' ' || line[13] != ':' || line[16] != ':') {
    return false;
  }
  struct tm cal {};
  if (!read_field(line, 2, 1, 31, &cal.tm_mday) || !read_field(line + 3, 2, 1, 12, &cal.tm_mon) ||
      !read_field(line + 6, 4, 1900, 9999, &cal.tm_year) ||
      !read_field(line + 11, 2, 0, 23, &cal.tm_hour) ||
      !read_field(line + 14, 2, 0, 59, &cal.tm_min) ||
      !read_field(line + 17, 2, 0, 60, &cal.tm_sec)) {
    return false;
  }
  cal.tm_mon -= 1;
  cal.tm_year -= 1900;
  cal.tm_isdst = -1;
  *out = cal;
  return true;
}

}  // namespace qellog
