// Building a configured log from the [LOGGING] section of the parameter
// file, and the two numeric lookups.
//
// The only translation unit that instantiates SimpleIni: its implementation
// is compiled here, without the UTF-8 conversion layer (values are plain
// 8-bit text).
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/ini_names.h"
#include "config/param_file.h"
#include "qellog/ini.h"

namespace {

constexpr const char* kCreate = "create_log_from_ini";
constexpr const char* kGetParam = "get_param_from_ini";
constexpr const char* kGetGeneral = "get_general_bits_from_ini";
constexpr const char* kLoggingSection = "LOGGING";
constexpr int kPathCapacity = 1024;
constexpr unsigned kDefaultMode = 0644;

// "Number" in the parameter file: strtoul in base 0, so 0x.. is hex, a
// leading 0 octal, -1 all bits set, and text without digits 0.
unsigned long read_number(const char* text) {
  return std::strtoul(text, nullptr, 0);
}

unsigned read_word(const char* text) {
  return static_cast<unsigned>(read_number(text));
}

// A size: a number, shifted left by 20 bits when the text contains "Mb" or
// else by 10 when it contains "kb" (units case-sensitive). The shift drops
// what leaves the 64 bits.
unsigned long read_size(const char* text) {
  unsigned long size = read_number(text);
  if (std::strstr(text, "Mb") != nullptr) {
    size <<= 20;
  } else if (std::strstr(text, "kb") != nullptr) {
    size <<= 10;
  }
  return size;
}

// A switch: on when the text contains "yes", else off when it contains "no"
// (both case-sensitive, "yes" first); any other text is a number, and only 1
// is on. `shown` gets 1, 0 or that number, for the trace.
bool read_switch(const char* text, int* shown) {
  if (std::strstr(text, "yes") != nullptr) {
    *shown = 1;
    return true;
  }
  if (std::strstr(text, "no") != nullptr) {
    *shown = 0;
    return false;
  }
  const unsigned long n = read_number(text);
  *shown = static_cast<int>(n);
  return n == 1;
}

// "daily" or "hourly", exactly; anything else is no rotation by time.
unsigned read_rotatetime(const char* text) {
  if (std::strcmp(text, "daily") == 0) return ROTATETIME_DAILY;
  if (std::strcmp(text, "hourly") == 0) return ROTATETIME_HOURLY;
  return ROTATETIME_NONE;
}

const char* or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

// Works out the log file's path, open flags and permission bits from one
// loaded document and builds the log. Lives for one create_log_from_ini call.
class LogSetup {
 public:
  LogSetup(CQel_ini& ini, const CSimpleIniA& doc) : ini_(ini), doc_(doc) {
    path_[0] = '\0';
  }

  CQel_Log* run() {
    choose_directory();
    choose_file_name();
    if (path_[0] != '\0') {
      ini_.writelog(LOGBIT_INFO, "%s: from ini logname is %s", kCreate, path_);
    }
    read_open_flags();
    read_permission();
    if (path_[0] == '\0' && !use_default_name()) return nullptr;
    CQel_Log* log = new CQel_Log(path_, flags_, mode_);
    ini_.writelog(LOGBIT_INFO, "%s: qellog is %p", kCreate,
                  static_cast<void*>(log));
    apply_settings(log);
    return log;
  }

 private:
  const char* value(const char* key) const {
    return doc_.GetValue(kLoggingSection, key, nullptr);
  }

  // Formats a + b + c + d into the log path when the result fits; returns
  // the full length either way. The path is composed aside first because
  // the parts may point into it, and a cut path would name another file.
  int set_path(const char* a, const char* b, const char* c, const char* d) {
    char work[kPathCapacity];
    const int len = std::snprintf(work, sizeof work, "%s%s%s%s", a, b, c, d);
    if (len >= 0 && len < kPathCapacity) {
      std::memcpy(path_, work, static_cast<size_t>(len) + 1);
    }
    return len;
  }

  static bool fits(int len) { return len >= 0 && len < kPathCapacity; }

  void choose_directory();
  void choose_file_name();
  void use_logname_alone(const char* logname);
  void read_open_flags();
  void read_permission();
  bool use_default_name();
  void apply_settings(CQel_Log* log);
  void apply_retention(CQel_Log* log);
  void apply_following(CQel_Log* log);
  bool apply_flush_thread(CQel_Log* log, const char* text);

  CQel_ini& ini_;
  const CSimpleIniA& doc_;
  char path_[kPathCapacity];
  int flags_ = O_WRONLY;
  unsigned mode_ = kDefaultMode;
  // Set when a key asks for work that only the flush thread does.
  bool needs_thread_ = false;
};

void LogSetup::choose_directory() {
  const char* dir = value("Logpath");
  if (dir == nullptr) return;
  ini_.writelog(LOGBIT_INFO, "%s: Logpath %s", kCreate, dir);
  const size_t len = std::strlen(dir);
  if (len >= sizeof path_) {
    ini_.writelog(LOGBIT_ERROR, "%s: Logpath too long (%d characters), ignored",
                  kCreate, static_cast<int>(len));
    return;
  }
  std::memcpy(path_, dir, len + 1);
  if (DIR* d = opendir(path_)) {
    closedir(d);
    return;
  }
  // Only the last component is created: a missing parent usually means a
  // typing error, which should not leave a trail of new directories.
  const int rc = mkdir(path_, 0775);
  ini_.writelog(LOGBIT_INFO, "%s: mkdir(%s) returned %d", kCreate, path_, rc);
  if (rc != 0) path_[0] = '\0';
}

// With a usable directory: directory + "/" + Logname, or directory + "/" +
// base name + ".log" without a Logname. Without one: see use_logname_alone.
// A composition that does not fit drops the part that broke it, so the next
// rule (finally the default name) applies.
void LogSetup::choose_file_name() {
  const char* logname = value("Logname");
  if (logname != nullptr) {
    ini_.writelog(LOGBIT_INFO, "%s: Logname %s", kCreate, logname);
    if (path_[0] == '\0') {
      use_logname_alone(logname);
      return;
    }
    const int len = set_path(path_, "/", logname, "");
    if (fits(len)) return;
    ini_.writelog(LOGBIT_ERROR,
                  "%s: Logpath + Logname too long (%d characters), "
                  "Logname ignored",
                  kCreate, len);
  }
  if (path_[0] == '\0') return;
  const int len = set_path(path_, "/", ini_.name, ".log");
  if (fits(len)) return;
  ini_.writelog(LOGBIT_ERROR,
                "%s: Logpath + log name too long (%d characters), "
                "Logpath ignored",
                kCreate, len);
  path_[0] = '\0';
}

// An absolute Logname is taken as it is; a relative one goes into the
// default log directory, where the default name would have gone.
void LogSetup::use_logname_alone(const char* logname) {
  int len;
  if (logname[0] == '/') {
    len = set_path(logname, "", "", "");
  } else {
    const char* home = qellog::config_home();
    len = home[0] != '\0'
              ? set_path(home, qellog::kDefaultLogDir, logname, "")
              : set_path("./", logname, "", "");
  }
  if (fits(len)) return;
  ini_.writelog(LOGBIT_ERROR,
                "%s: Logname path too long (%d characters), Logname ignored",
                kCreate, len);
}

void LogSetup::read_open_flags() {
  const char* text = value("LogFileFlags");
  if (text == nullptr) return;
  ini_.writelog(LOGBIT_INFO, "%s: LogFileFlags %s old fileflags 0x%x", kCreate,
                text, static_cast<unsigned>(flags_));
  // Only the two words matter, so "O_CREAT|O_TRUNC", "creat" or
  // "truncate the file" all work; O_WRONLY is always kept.
  flags_ = O_WRONLY;
  if (strcasestr(text, "TRUNC") != nullptr) flags_ |= O_TRUNC;
  if (strcasestr(text, "CREAT") != nullptr) flags_ |= O_CREAT;
  ini_.writelog(LOGBIT_INFO, "%s: fileflags 0x%x", kCreate,
                static_cast<unsigned>(flags_));
}

void LogSetup::read_permission() {
  const char* text = value("LogFilePermission");
  if (text == nullptr) return;
  ini_.writelog(LOGBIT_INFO, "%s: LogFilePermission %s old filemode 0%o",
                kCreate, text, mode_);
  mode_ = read_word(text);
  ini_.writelog(LOGBIT_INFO, "%s: filemode 0%o", kCreate, mode_);
}

bool LogSetup::use_default_name() {
  if (ini_.get_default_logname(path_, kPathCapacity) != INI_SUCCESS) {
    ini_.writelog(LOGBIT_INFO, "%s: qellog is %p", kCreate,
                  static_cast<void*>(nullptr));
    return false;
  }
  ini_.writelog(LOGBIT_INFO, "%s: get_default_logname is %s", kCreate, path_);
  // A probe only: its failure is reported and the log is built anyway, so
  // the log's own open decides. O_CLOEXEC keeps the short-lived descriptor
  // from leaking into a child forked by another thread meanwhile.
  const int fd = open(path_, flags_ | O_CLOEXEC, mode_);
  if (fd == -1) {
    ini_.writelog(LOGBIT_INFO, "%s: open default failed ", kCreate);
  } else {
    close(fd);
  }
  ini_.writelog(LOGBIT_INFO, "%s: default logname is %s", kCreate, path_);
  return true;
}

void LogSetup::apply_settings(CQel_Log* log) {
  if (const char* text = value("Logging")) {
    log->set_logbits(read_word(text));
    ini_.writelog(LOGBIT_INFO, "%s: Logging %s logbits 0x%x ", kCreate, text,
                  log->get_logbits());
  }
  if (const char* text = value("Flushcount")) {
    log->set_flushcount(read_word(text));
    ini_.writelog(LOGBIT_INFO, "%s: Flushcount %s  %d", kCreate, text,
                  static_cast<int>(log->get_flushcount()));
  }
  if (const char* text = value("Maxfilesize")) {
    log->set_maxfilesize(read_size(text));
    ini_.writelog(LOGBIT_INFO, "%s: Maxfilesize %s  %d ", kCreate, text,
                  static_cast<int>(log->get_maxfilesize()));
  }
  apply_retention(log);
  apply_following(log);
  // Last on purpose: the thread must find every setting in force.
  const char* text = value("Flushthread");
  const bool thread = text != nullptr && apply_flush_thread(log, text);
  if (needs_thread_ && !thread) {
    ini_.writelog(LOGBIT_INFO,
                  "%s: Reopen and Rotatetime need Flushthread=yes, ignored",
                  kCreate);
  }
}

void LogSetup::apply_retention(CQel_Log* log) {
  if (const char* text = value("Maxfilecount")) {
    log->set_maxfilecount(read_number(text));
    ini_.writelog(LOGBIT_INFO, "%s: Maxfilecount %s  %lu ", kCreate, text,
                  log->get_maxfilecount());
  }
  if (const char* text = value("Maxtotalsize")) {
    log->set_maxtotalsize(read_size(text));
    ini_.writelog(LOGBIT_INFO, "%s: Maxtotalsize %s  %lu ", kCreate, text,
                  log->get_maxtotalsize());
  }
  if (const char* text = value("Maxfileage")) {
    log->set_maxfileage(read_number(text));
    ini_.writelog(LOGBIT_INFO, "%s: Maxfileage %s  %lu ", kCreate, text,
                  log->get_maxfileage());
  }
}

// Lost-line records, following external rotation, rotation by time and
// tail-safe rotation. Reopening and rotating by time are the flush
// thread's work, so asking for them is remembered in needs_thread_.
void LogSetup::apply_following(CQel_Log* log) {
  int shown = 0;
  if (const char* text = value("Lostlines")) {
    log->set_lostlines(read_switch(text, &shown));
    ini_.writelog(LOGBIT_INFO, "%s: Lostlines %s ul %d", kCreate, text, shown);
  }
  if (const char* text = value("Reopen")) {
    const bool on = read_switch(text, &shown);
    log->set_reopen(on);
    needs_thread_ = needs_thread_ || on;
    ini_.writelog(LOGBIT_INFO, "%s: Reopen %s ul %d", kCreate, text, shown);
  }
  if (const char* text = value("Reopeninterval")) {
    const unsigned seconds = read_word(text);
    log->set_reopeninterval(seconds);
    needs_thread_ = needs_thread_ || seconds != 0;
    ini_.writelog(LOGBIT_INFO, "%s: Reopeninterval %s  %u ", kCreate, text,
                  log->get_reopeninterval());
  }
  if (const char* text = value("Rotatetime")) {
    const unsigned period = read_rotatetime(text);
    log->set_rotatetime(period);
    needs_thread_ = needs_thread_ || period != ROTATETIME_NONE;
    ini_.writelog(LOGBIT_INFO, "%s: Rotatetime %s  %u ", kCreate, text,
                  log->get_rotatetime());
  }
  if (const char* text = value("Tailsafe")) {
    log->set_tailsafe(read_switch(text, &shown));
    ini_.writelog(LOGBIT_INFO, "%s: Tailsafe %s ul %d", kCreate, text, shown);
  }
  if (const char* text = value("Isotime")) {
    log->set_isotime(read_switch(text, &shown));
    ini_.writelog(LOGBIT_INFO, "%s: Isotime %s ul %d", kCreate, text, shown);
  }
}

// Starts the thread as "Flushthread" says (see read_switch). True when a
// flush thread runs afterwards.
bool LogSetup::apply_flush_thread(CQel_Log* log, const char* text) {
  int shown = 0;
  const bool start = read_switch(text, &shown);
  ini_.writelog(LOGBIT_INFO, "%s: Flushthread %s ul %d", kCreate, text, shown);
  return start && log->start_flush_thread() == 0;
}

// Parses the parameter file `path` into `doc`. The file is opened here
// rather than by the parser, so that its descriptor is close-on-exec (a
// program spawned by another thread meanwhile must not inherit it) and a
// privileged process can judge it; it is closed before returning. SI_FILE
// when it cannot be opened, is refused or cannot be read.
SI_Error load_param_file(CSimpleIniA& doc, const char* path) {
  // Closed also when the parser lets an exception pass.
  const std::unique_ptr<FILE, int (*)(FILE*)> stream(
      qellog::open_param_file(path), &std::fclose);
  if (!stream) return SI_FILE;
  return doc.LoadFile(stream.get());
}

// Loads the parameter file for a lookup. INI_SUCCESS, or the result code
// the lookup returns (the file name's own code, or INI_ERR_LOAD_FILE).
unsigned load_parameters(CQel_ini& ini, CSimpleIniA& doc, const char* op) {
  char path[kPathCapacity];
  const unsigned rc = ini.get_ini_filename(path, sizeof path);
  if (rc != INI_SUCCESS) return rc;
  const SI_Error loaded = load_param_file(doc, path);
  if (loaded < 0) {
    ini.writelog(LOGBIT_INFO, "%s: loading file %s failed %d", op, path,
                 loaded);
    return INI_ERR_LOAD_FILE;
  }
  return INI_SUCCESS;
}

}  // namespace

// The document is a local object throughout: it is released on every
// return and when new or the log's constructor throws.
CQel_Log* CQel_ini::create_log_from_ini() {
  char ini_path[kPathCapacity];
  const unsigned rc = get_ini_filename(ini_path, sizeof ini_path);
  if (rc != INI_SUCCESS) {
    writelog(LOGBIT_ERROR, "%s: get_ini_filename failed 0x%x", kCreate, rc);
    return nullptr;
  }
  writelog(LOGBIT_INFO, "%s: Load ini file %s", kCreate, ini_path);
  CSimpleIniA doc;
  const SI_Error loaded = load_param_file(doc, ini_path);
  if (loaded < 0) {
    writelog(LOGBIT_INFO, "%s: loading file %s failed %d", kCreate, ini_path,
             loaded);
    return nullptr;
  }
  return LogSetup(*this, doc).run();
}

unsigned int CQel_ini::get_param_from_ini(const char* section, const char* key,
                                          unsigned int& value) {
  CSimpleIniA doc;
  const unsigned rc = load_parameters(*this, doc, kGetParam);
  if (rc != INI_SUCCESS) return rc;
  const char* text = section != nullptr && key != nullptr
                         ? doc.GetValue(section, key, nullptr)
                         : nullptr;
  if (text == nullptr) {
    writelog(LOGBIT_INFO, "%s: [%s] %s not found ", kGetParam, or_null(section),
             or_null(key));
    return INI_ERR_NOT_FOUND;
  }
  value = read_word(text);
  writelog(LOGBIT_INFO, "%s: [%s] %s value 0x%x ", kGetParam, section, text,
           value);
  return INI_SUCCESS;
}

unsigned int CQel_ini::get_general_bits_from_ini(unsigned int& bits) {
  CSimpleIniA doc;
  const unsigned rc = load_parameters(*this, doc, kGetGeneral);
  if (rc != INI_SUCCESS) return rc;
  const char* text = doc.GetValue("GENERAL", "general", nullptr);
  if (text == nullptr) {
    writelog(LOGBIT_INFO, "%s: [GENERAL] general not found ", kGetGeneral);
    return INI_ERR_NOT_FOUND;
  }
  bits = read_word(text);
  writelog(LOGBIT_INFO, "%s: [GENERAL] %s general_bits 0x%x ", kGetGeneral,
           text, bits);
  return INI_SUCCESS;
}
