// Fuzzes message lines: arbitrary flag words, masks, values, flush counts
// and message texts (always an argument of "%s", never the format) through
// every writelog overload, writetime, flushlog and write_to_file, on one
// log per input whose file is truncated when it opens.
//
// Input layout (numbers little-endian):
//   u32 mask, u32 flush count, u8 mode (bit 0: a name that cannot open)
//   then operations until the input ends, each an op byte and its fields:
//     0..3  writelog: u32 flags, u32 value, u16 length, text
//           (0 variadic, 1 va_list, 2 variadic with value, 3 va_list with value)
//     4     writetime          5  flushlog
//     6     write_to_file: u16 length, raw bytes
//     7     set_logbits: u32   8  set_flushcount: u32
//     9     writelog with value and "%s|%s": u32 flags, u32 value, u16 length, text
//
// Besides the sanitizers, every step checks what the file must hold: the
// file's size equals curfilesize, and while the mask enables no prefix
// field and no engine diagnostics each line is compared byte for byte,
// together with the write count.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_util.h"
#include "qellog/log.h"

namespace {

constexpr size_t kMaxText = 3000;
// Line text before CR LF: the 300-byte line holds it, CR LF and the NUL.
constexpr size_t kMaxLineText = 297;
constexpr unsigned kPrefixBits = LOGBIT_TIME | LOGBIT_DELTA | LOGBIT_PID_TID | LOGBIT_CPU;

const std::string& scratch() {
  static const std::string dir = [] {
    fuzz::silence_stdout();  // LOGBIT_NEWLINE prints there
    return fuzz::scratch_dir("fuzz_line");
  }();
  return dir;
}

void write_va(CQel_Log& log, unsigned flags, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void write_va(CQel_Log& log, unsigned flags, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  log.writelog(flags, fmt, args);
  va_end(args);
}

void write_va_value(CQel_Log& log, unsigned flags, int value, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void write_va_value(CQel_Log& log, unsigned flags, int value, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  log.writelog(flags, value, fmt, args);
  va_end(args);
}

// The message as a line of `room` characters shows it, piece by piece: a
// CR as "\\r", a UTF-8 lead byte with the continuation bytes it owns, any
// other byte alone; the first piece that does not fit ends it.
std::string shown(const std::string& message, size_t room) {
  std::string out;
  for (size_t i = 0; i < message.size();) {
    const auto b = static_cast<unsigned char>(message[i]);
    const size_t owns = b >= 0xf0 && b < 0xf8   ? 4
                        : b >= 0xe0 && b < 0xf0 ? 3
                        : b >= 0xc0 && b < 0xe0 ? 2
                                                : 1;
    size_t n = 1;
    while (b != '\r' && n < owns && i + n < message.size() &&
           (static_cast<unsigned char>(message[i + n]) & 0xc0) == 0x80) {
      ++n;
    }
    const std::string piece = b == '\r' ? "\\r" : message.substr(i, n);
    if (out.size() + piece.size() > room) break;
    out += piece;
    i += n;
  }
  return out;
}

// The line a message must produce when the mask selects no prefix field.
std::string expected_line(unsigned flags, bool with_value, int value, const std::string& message) {
  std::string line;
  if (with_value) {
    char field[16];
    std::snprintf(field, sizeof field, "%08x ", static_cast<unsigned>(value));
    line += field;
  }
  if (((flags != 0 ? flags : LOGBIT_ERROR) & LOGBIT_ERROR) != 0) line += "ERROR ";
  line += shown(message, kMaxLineText - line.size());
  if ((flags & LOGBIT_NOCRLF) == 0) line += "\r\n";
  return line;
}

class Checker {
 public:
  Checker(CQel_Log& log, const std::string& path) : log_(log) {
    if (log_.get_filehandle() != -1) read_fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    size_ = log_.get_curfilesize();
    count_ = log_.get_msgcount();
  }
  ~Checker() {
    if (read_fd_ != -1) close(read_fd_);
  }
  Checker(const Checker&) = delete;
  Checker& operator=(const Checker&) = delete;

  bool is_open() const { return log_.get_filehandle() != -1; }
  // Exact checks hold while no diagnostic line (the flush's own lines) can
  // be written, and for message lines while no prefix field is selected.
  bool quiet() const { return (log_.get_logbits() & LOGBIT_INTERNAL) == 0; }
  bool exact() const { return quiet() && (log_.get_logbits() & kPrefixBits) == 0; }
  bool passes(unsigned flags) const {
    return flags != LOGBIT_NEWLINE &&
           ((flags != 0 ? flags : LOGBIT_ERROR) & log_.get_logbits()) != 0;
  }

  // After an operation that wrote `expected` (nothing when empty and
  // `counted` is false) as one counted write, or that wrote something
  // unknown when `known` is false: then at most one line, unless
  // diagnostics may have followed it.
  void after(const char* op, bool known, bool counted, const std::string& expected) {
    const unsigned long size = log_.get_curfilesize();
    const unsigned count = log_.get_msgcount();
    if (!is_open()) {
      if (size != 0 || count != 0) fail(op, "a log without a file counted a write");
    } else {
      struct stat st;
      if (fstat(read_fd_, &st) != 0 || static_cast<unsigned long>(st.st_size) != size) {
        fail(op, "file size differs from curfilesize");
      }
      if (size < size_) fail(op, "curfilesize went down");
      const unsigned long delta = size - size_;
      if (known) {
        if (delta != expected.size()) fail(op, "wrong number of bytes written");
        std::string got(delta, '\0');
        if (delta != 0 && pread(read_fd_, &got[0], delta, static_cast<off_t>(size_)) !=
                              static_cast<ssize_t>(delta)) {
          fail(op, "cannot read back the written bytes");
        }
        if (got != expected) fail(op, "written bytes differ");
        const unsigned want = !counted                             ? count_
                              : count_ + 1 > log_.get_flushcount() ? 0
                                                                   : count_ + 1;
        if (count != want) fail(op, "msgcount is off");
      } else if ((log_.get_logbits() & LOGBIT_INTERNAL) == 0 && delta > kMaxLineText + 2) {
        fail(op, "one line wrote more than 299 bytes");
      }
    }
    size_ = size;
    count_ = count;
  }

  // A message line through one of the writelog overloads.
  void after_line(const char* op, unsigned flags, bool with_value, int value,
                  const std::string& message) {
    const bool written = is_open() && passes(flags);
    after(op, exact(), written,
          written ? expected_line(flags, with_value, value, message) : std::string());
  }

 private:
  void fail(const char* op, const char* what) const {
    fuzz::fail("%s: %s (mask 0x%x, size %lu, count %u)", op, what, log_.get_logbits(),
               log_.get_curfilesize(), log_.get_msgcount());
  }

  CQel_Log& log_;
  int read_fd_ = -1;
  unsigned long size_ = 0;
  unsigned count_ = 0;
};

// The time-stamp line: "HH:MM.SS.mmm DD.MM.YYYY" and CR LF.
bool is_time_stamp(const std::string& line) {
  static const char kShape[] = "99:99.99.999 99.99.9999\r\n";
  if (line.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < line.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == '9' ? !digit : line[i] != kShape[i]) return false;
  }
  return true;
}

void run_ops(CQel_Log& log, Checker& check, fuzz::Reader& in) {
  while (in.remaining() > 0) {
    const uint8_t op = in.u8() % 10;
    switch (op) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 9: {
        const unsigned flags = in.u32();
        const int value = static_cast<int>(in.u32());
        const std::string raw = in.bytes(in.u16() % (kMaxText + 1));
        // The message as "%s" sees it: up to the first NUL.
        const std::string text = raw.c_str();
        std::string message = text;
        switch (op) {
          case 0:
            log.writelog(flags, "%s", text.c_str());
            break;
          case 1:
            write_va(log, flags, "%s", text.c_str());
            break;
          case 2:
            log.writelog(flags, value, "%s", text.c_str());
            break;
          case 3:
            write_va_value(log, flags, value, "%s", text.c_str());
            break;
          default:
            log.writelog(flags, value, "%s|%s", text.c_str(), text.c_str());
            message = text + "|" + text;
            break;
        }
        check.after_line("writelog", flags, op >= 2, value, message);
        break;
      }
      case 4: {
        const bool written = check.is_open() && log.get_logbits() != 0;
        const bool exact = check.quiet();
        log.writetime();
        if (written && exact) {
          // The stamp's digits are the clock's: take them from the file and
          // check their shape, then the count and the size as for any line.
          const std::string file = fuzz::read_file(log.filename);
          const std::string tail = file.size() >= 25 ? file.substr(file.size() - 25) : file;
          if (!is_time_stamp(tail)) fuzz::fail("writetime: the last line is not a time stamp");
          check.after("writetime", true, true, tail);
        } else {
          check.after("writetime", exact, false, std::string());
        }
        break;
      }
      case 5: {
        const bool exact = check.quiet();
        log.flushlog();
        check.after("flushlog", false, false, std::string());
        if (exact && log.get_msgcount() != 0) fuzz::fail("flushlog left msgcount non-zero");
        break;
      }
      case 6: {
        const std::string raw = in.bytes(in.u16() % (kMaxText + 1));
        // The primitive leaves the test for an open file to its callers.
        if (!check.is_open()) break;
        const bool exact = check.quiet();
        log.write_to_file(raw.data(), raw.size());
        check.after("write_to_file", exact, true, raw);
        break;
      }
      case 7:
        log.set_logbits(in.u32());
        break;
      case 8:
        log.set_flushcount(in.u32());
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = scratch();
  fuzz::Reader in(data, size);
  const unsigned mask = in.u32();
  const unsigned flushcount = in.u32();
  const uint8_t mode = in.u8();

  // The scratch directory itself cannot be opened for writing.
  fuzz::NoDescriptorLeak no_leak;
  const std::string path = (mode & 1) != 0 ? dir : dir + "/line.log";
  CQel_Log log(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  log.set_logbits(mask);
  log.set_flushcount(flushcount);
  Checker check(log, path);
  run_ops(log, check, in);
  return 0;
}
