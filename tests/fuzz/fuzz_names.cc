// Fuzzes names: log file names for CQel_Log (long, dotted, slashed) with
// a rotation on every log that opened, HOME values and base names for the
// three name operations of CQel_ini, and texts for get_logparam_not_used.
//
// Input: operations until the input ends (numbers little-endian), each an
// op byte and its fields:
//   0  log file:  u8 choice (bits 0-2 open flags, bit 7 null name),
//                 u16 length, name (taken below the scratch directory)
//   1  HOME:      u8 choice (bit 0 unsets HOME), u16 length, value
//   2  reader:    u8 choice (bit 0 attaches a diagnostics log), u16 length,
//                 base name, then for each of the parameter, registry and
//                 default log names: u16 buffer capacity, u32 size passed
//   3  get_logparam_not_used: u16 length, text
//
// Each name operation's result is compared with the name composed here
// from HOME and the base name; a refused name must leave the buffer as it
// was.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "qellog/api.h"
#include "qellog/ini.h"
#include "qellog/log.h"

namespace {

constexpr size_t kMaxText = 3000;
constexpr size_t kMaxBaseName = 189;
constexpr size_t kMaxComposed = 1021;
constexpr size_t kMaxExtension = 10;

const std::string& scratch() {
  static const std::string dir = fuzz::scratch_dir("fuzz_names");
  return dir;
}

// A few directories, some dotted, for slashed names to land in.
void make_tree(const std::string& root) {
  fuzz::make_dirs(root + "/sub.dir/inner");
  fuzz::make_dirs(root + "/a.b.c");
  fuzz::make_dirs(root + "/plain");
}

bool has_parent_step(const std::string& name) {
  size_t begin = 0;
  while (true) {
    const size_t end = name.find('/', begin);
    if (name.compare(begin, end == std::string::npos ? std::string::npos : end - begin, "..") ==
        0) {
      return true;
    }
    if (end == std::string::npos) return false;
    begin = end + 1;
  }
}

void check_split(const CQel_Log& log, const std::string& name) {
  if (name.size() >= sizeof log.filename) return;
  if (name != log.filename) fuzz::fail("filename %s is not the name given", log.filename);
  const size_t dot = name.rfind('.');
  const bool split = dot != std::string::npos && name.size() - dot <= kMaxExtension;
  const std::string base = split ? name.substr(0, dot) : name;
  const std::string ext = split ? name.substr(dot) : std::string();
  if (base != log.filename_base || ext != log.extension) {
    fuzz::fail("%s split into '%s' '%s'", name.c_str(), log.filename_base, log.extension);
  }
}

void log_file_op(fuzz::Reader& in, const std::string& root) {
  static const int kFlags[] = {O_WRONLY | O_CREAT,
                               O_WRONLY | O_CREAT | O_TRUNC,
                               O_WRONLY,
                               O_RDWR | O_CREAT,
                               O_WRONLY | O_CREAT | O_EXCL,
                               O_WRONLY | O_CREAT | O_APPEND,
                               O_WRONLY | O_CREAT | O_TRUNC,
                               O_RDWR};
  const uint8_t choice = in.u8();
  const std::string raw = in.bytes(in.u16() % (kMaxText + 1));
  const std::string tail = raw.c_str();
  if (has_parent_step(tail)) return;  // would leave the scratch directory
  const bool null_name = (choice & 0x80) != 0;
  const std::string name = null_name ? std::string("qel_log.log") : root + "/" + tail;

  std::unique_ptr<CQel_Log> log(
      new CQel_Log(null_name ? nullptr : name.c_str(), kFlags[choice & 7], 0644));
  check_split(*log, name);
  if (name.size() >= sizeof log->filename &&
      (log->get_filehandle() != -1 || log->get_logbits() != 0)) {
    fuzz::fail("a name of %zu characters was opened", name.size());
  }
  if (log->get_filehandle() == -1) return;
  log->writelog(LOGBIT_ERROR, "%s", "before the rotation");
  log->create_next_file();
  // Rotated or not, the log goes on under its own name.
  if (log->get_filehandle() == -1) fuzz::fail("no file after create_next_file");
  if (access(log->filename, F_OK) != 0) {
    fuzz::fail("%s is missing after create_next_file", log->filename);
  }
  log->writelog(LOGBIT_ERROR, "%s", "after the rotation");
}

void home_op(fuzz::Reader& in) {
  const uint8_t choice = in.u8();
  const std::string value = in.bytes(in.u16() % (kMaxText + 1));
  if ((choice & 1) != 0) {
    unsetenv("HOME");
  } else {
    setenv("HOME", value.c_str(), 1);
  }
}

std::string home_text() {
  if (const char* home = std::getenv("HOME")) return home;
  const passwd* pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

// The name an operation must produce, or "" when it must refuse for the
// length limit.
std::string composed(const std::string& base, const char* dir, const char* suffix) {
  const std::string home = home_text();
  if (home.size() + std::strlen(dir) + base.size() + std::strlen(suffix) > kMaxComposed) {
    return std::string();
  }
  return home.empty() ? "./" + base + suffix : home + dir + base + suffix;
}

using NameOp = unsigned (CQel_ini::*)(char*, int);

void check_name_op(fuzz::Reader& in, CQel_ini& ini, NameOp op, const char* what,
                   const std::string& expected) {
  const size_t capacity = 1 + in.u16() % 1100;
  const int32_t raw = static_cast<int32_t>(in.u32());
  // Never claim more room than the buffer has; 0 and negative sizes stay.
  const int size = raw <= static_cast<int32_t>(capacity)
                       ? raw
                       : static_cast<int>(static_cast<uint32_t>(raw) % (capacity + 1));
  std::vector<char> buf(capacity, '\x5a');
  const unsigned rc = (ini.*op)(buf.data(), size);
  const bool fits = !expected.empty() && size > static_cast<int>(expected.size());
  if (fits) {
    if (rc != INI_SUCCESS) fuzz::fail("%s refused %s in %d bytes", what, expected.c_str(), size);
    if (std::memcmp(buf.data(), expected.c_str(), expected.size() + 1) != 0) {
      fuzz::fail("%s composed '%.*s', not '%s'", what, static_cast<int>(capacity), buf.data(),
                 expected.c_str());
    }
    for (size_t i = expected.size() + 1; i < capacity; ++i) {
      if (buf[i] != '\x5a') fuzz::fail("%s wrote past the name's terminator", what);
    }
  } else {
    if (rc != INI_ERR_BUFFER_TOO_SHORT) {
      fuzz::fail("%s returned 0x%x for a name that does not fit %d bytes", what, rc, size);
    }
    for (char c : buf) {
      if (c != '\x5a') fuzz::fail("%s wrote into the buffer of a refused name", what);
    }
  }
}

void reader_op(fuzz::Reader& in, const std::string& root) {
  const uint8_t choice = in.u8();
  const std::string raw = in.bytes(in.u16() % (kMaxText + 1));
  const std::string given = raw.c_str();
  const std::string base = given.substr(0, kMaxBaseName);

  CQel_ini ini(given.c_str());
  if (base != ini.name) fuzz::fail("base name '%s' kept as '%s'", base.c_str(), ini.name);
  std::unique_ptr<CQel_Log> diag;
  if ((choice & 1) != 0) {
    diag.reset(new CQel_Log((root + "/diag.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ini.set_ini_log(diag.get());
  }
  check_name_op(in, ini, &CQel_ini::get_ini_filename, "get_ini_filename",
                composed(base, "/.config/qel/", "_param.ini"));
  check_name_op(in, ini, &CQel_ini::get_reg_filename, "get_reg_filename",
                composed(base, "/.config/qel/", "_reg.ini"));
  check_name_op(in, ini, &CQel_ini::get_default_logname, "get_default_logname",
                composed(base, "/.qel/qel_logging/", ".log"));
}

void not_used_op(fuzz::Reader& in) {
  const std::string raw = in.bytes(in.u16() % (kMaxText + 1));
  std::vector<char> text(raw.begin(), raw.end());
  text.push_back('\0');
  const std::vector<char> before = text;
  if (get_logparam_not_used(text.data()) != 0)
    fuzz::fail("get_logparam_not_used returned non-zero");
  const char* found = std::strstr(before.data(), "_param");
  std::vector<char> want = before;
  if (found != nullptr) want[static_cast<size_t>(found - before.data())] = '\0';
  if (text != want) fuzz::fail("get_logparam_not_used changed more than the cut at _param");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = scratch();
  // The null name opens "qel_log.log" in the working directory.
  fuzz::NoDescriptorLeak no_leak;
  fuzz::InDir in_scratch(root);
  setenv("HOME", root.c_str(), 1);
  fuzz::clear_dir(root);
  make_tree(root);
  fuzz::Reader in(data, size);
  while (in.remaining() > 0) {
    switch (in.u8() % 4) {
      case 0:
        log_file_op(in, root);
        break;
      case 1:
        home_op(in);
        break;
      case 2:
        reader_op(in, root);
        break;
      case 3:
        not_used_op(in);
        break;
    }
  }
  return 0;
}
