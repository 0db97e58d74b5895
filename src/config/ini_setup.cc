// Building a configured log from the [LOGGING] section of the parameter
// file, and the two numeric lookups.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/ini_keys.h"
#include "config/ini_names.h"
#include "config/ini_values.h"
#include "config/param_doc.h"
#include "config/setup_seam.h"
#include "log/line_text.h"
#include "log/live_open.h"
#include "qellog/ini.h"

namespace {

using qellog::kCreateOp;
using qellog::kReloadOp;
using qellog::PathRule;
using qellog::read_word;
constexpr const char* kGetParam = "get_param_from_ini";
constexpr const char* kGetGeneral = "get_general_bits_from_ini";
constexpr int kPathCapacity = 1024;
constexpr char kParamFileRefused[] = "qellog: the parameter file";

const char* or_null(const char* text) { return text != nullptr ? text : "(null)"; }

// Works out the log file's path, open flags and permission bits from one
// loaded document and builds the log, or applies it to a log that exists.
// Lives for one create_log_from_ini or reload_log_from_ini call. What
// touches the file system goes through qellog::g_setup_seam.
class LogSetup {
 public:
  LogSetup(CQel_ini& ini, const CSimpleIniA& doc, const char* op) : ini_(ini), doc_(doc), op_(op) {
    path_[0] = '\0';
  }
  ~LogSetup() {
    if (dir_fd_ != -1) close(dir_fd_);
  }
  LogSetup(const LogSetup&) = delete;
  LogSetup& operator=(const LogSetup&) = delete;

  CQel_Log* build() {
    if (!resolve()) return nullptr;
    CQel_Log* log = qellog::g_setup_seam.make_log(path_, flags_, mode_, lineend(), rule_,
                                                  given_dir(), given_dir() != -1 ? dir_len_ : 0);
    ini_.writelog(LOGBIT_INFO, "%s: qellog is %p", op_, static_cast<void*>(log));
    apply_settings(*log, false);
    apply_classes(*log, false);
    return log;
  }

  // Moves the log to the file the document names, when that is another,
  // and applies every setting; nothing changes when the move fails.
  unsigned reload(CQel_Log& log);

 private:
  // The path, open flags and permission bits; false when no log file name
  // results.
  bool resolve() {
    choose_directory();
    choose_file_name();
    if (path_[0] != '\0') {
      ini_.writelog(LOGBIT_INFO, "%s: from ini logname is %s", op_, path_);
    }
    read_open_flags();
    read_permission();
    return path_[0] != '\0' || use_default_name();
  }

  // The line end is known before the log's file begins: its start header
  // ends so too.
  unsigned lineend() const {
    const char* text = value(qellog::kLineEndKey);
    return text != nullptr ? qellog::read_lineend(text) : LINEEND_CRLF;
  }

  // The open Logpath directory that the path begins with, or -1.
  int given_dir() const {
    const bool in_dir =
        rule_ == PathRule::kDirectoryAndName || rule_ == PathRule::kDirectoryAndBaseName;
    return in_dir ? dir_fd_ : -1;
  }

  const char* value(const char* key) const {
    return doc_.GetValue(qellog::kLogSection, key, nullptr);
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
  void apply_settings(CQel_Log& log, bool reloading);
  void apply_classes(CQel_Log& log, bool reloading);

  CQel_ini& ini_;
  const CSimpleIniA& doc_;
  const char* op_;  // kCreateOp or kReloadOp
  char path_[kPathCapacity];
  PathRule rule_ = PathRule::kDefaultName;
  int flags_ = qellog::kDefaultOpenFlags;
  unsigned mode_ = qellog::kDefaultMode;
  // The Logpath directory, open, and the length of its text in path_.
  int dir_fd_ = -1;
  size_t dir_len_ = 0;
};

void LogSetup::choose_directory() {
  const char* dir = value(qellog::kDirectoryKey);
  if (dir == nullptr) return;
  ini_.writelog(LOGBIT_INFO, "%s: Logpath %s", op_, dir);
  const size_t len = std::strlen(dir);
  if (len >= sizeof path_) {
    ini_.writelog(LOGBIT_ERROR, "%s: Logpath too long (%d characters), ignored", op_,
                  static_cast<int>(len));
    return;
  }
  std::memcpy(path_, dir, len + 1);
  // Walked one component at a time, never through a link that another
  // user could have planted; only the last component is created: a
  // missing parent usually means a typing error, which should not leave a
  // trail of new directories.
  qellog::DirWalk walk;
  walk.create_last = true;
  walk.mkdir_mode = 0775;
  const int rc = qellog::g_setup_seam.open_directory(path_, &walk, &dir_fd_);
  if (walk.refusal.reason != nullptr) {
    char why[1200];
    qellog::format_refusal(why, sizeof why, walk.refusal);
    ini_.writelog(LOGBIT_ERROR, "%s: Logpath %s refused: %s", op_, path_, why);
  } else if (walk.mkdir_result != -2) {
    ini_.writelog(LOGBIT_INFO, "%s: mkdir(%s) returned %d", op_, path_, walk.mkdir_result);
  }
  if (rc == 0) {
    dir_len_ = len;
  } else {
    path_[0] = '\0';
  }
}

// With a usable directory: directory + "/" + Logname, or directory + "/" +
// base name + ".log" without a Logname. Without one: see use_logname_alone.
// A composition that does not fit drops the part that broke it, so the next
// rule (finally the default name) applies.
void LogSetup::choose_file_name() {
  const char* logname = value(qellog::kFileNameKey);
  if (logname != nullptr) {
    ini_.writelog(LOGBIT_INFO, "%s: Logname %s", op_, logname);
    if (path_[0] == '\0') {
      use_logname_alone(logname);
      return;
    }
    const int len = set_path(path_, "/", logname, "");
    rule_ = PathRule::kDirectoryAndName;
    if (fits(len)) return;
    ini_.writelog(LOGBIT_ERROR,
                  "%s: Logpath + Logname too long (%d characters), "
                  "Logname ignored",
                  op_, len);
  }
  if (path_[0] == '\0') return;
  const int len = set_path(path_, "/", ini_.name, ".log");
  rule_ = PathRule::kDirectoryAndBaseName;
  if (fits(len)) return;
  ini_.writelog(LOGBIT_ERROR,
                "%s: Logpath + log name too long (%d characters), "
                "Logpath ignored",
                op_, len);
  path_[0] = '\0';
  rule_ = PathRule::kDefaultName;
}

// An absolute Logname is taken as it is; a relative one goes into the
// default log directory, where the default name would have gone.
void LogSetup::use_logname_alone(const char* logname) {
  int len;
  if (logname[0] == '/') {
    len = set_path(logname, "", "", "");
    rule_ = PathRule::kAbsoluteName;
  } else {
    const char* home = qellog::config_home();
    len = home[0] != '\0' ? set_path(home, qellog::kDefaultLogDir, logname, "")
                          : set_path("./", logname, "", "");
    rule_ = PathRule::kNameInDefaultDir;
  }
  if (fits(len)) return;
  rule_ = PathRule::kDefaultName;
  ini_.writelog(LOGBIT_ERROR, "%s: Logname path too long (%d characters), Logname ignored", op_,
                len);
}

void LogSetup::read_open_flags() {
  const char* text = value(qellog::kOpenFlagsKey);
  if (text == nullptr) return;
  ini_.writelog(LOGBIT_INFO, "%s: LogFileFlags %s old fileflags 0x%x", op_, text,
                static_cast<unsigned>(flags_));
  flags_ = qellog::read_open_flags(text);
  ini_.writelog(LOGBIT_INFO, "%s: fileflags 0x%x", op_, static_cast<unsigned>(flags_));
}

void LogSetup::read_permission() {
  const char* text = value(qellog::kModeKey);
  if (text == nullptr) return;
  ini_.writelog(LOGBIT_INFO, "%s: LogFilePermission %s old filemode 0%o", op_, text, mode_);
  mode_ = read_word(text);
  ini_.writelog(LOGBIT_INFO, "%s: filemode 0%o", op_, mode_);
}

bool LogSetup::use_default_name() {
  if (ini_.get_default_logname(path_, kPathCapacity) != INI_SUCCESS) {
    ini_.writelog(LOGBIT_INFO, "%s: qellog is %p", op_, static_cast<void*>(nullptr));
    return false;
  }
  rule_ = PathRule::kDefaultName;
  ini_.writelog(LOGBIT_INFO, "%s: get_default_logname is %s", op_, path_);
  // A probe only: its failure is reported and the log is built anyway, so
  // the log's own open decides.
  if (qellog::g_setup_seam.probe_default(path_, flags_, mode_) != 0) {
    ini_.writelog(LOGBIT_INFO, "%s: open default failed ", op_);
  }
  ini_.writelog(LOGBIT_INFO, "%s: default logname is %s", op_, path_);
  return true;
}

// Every setting key present in the file, in the table's order, which
// starts the flush thread last. A reload gives a key that is gone the
// value that stands for its absence, so that the log ends up as the file
// would build it.
void LogSetup::apply_settings(CQel_Log& log, bool reloading) {
  qellog::SettingStep step{ini_, log, nullptr, false, op_};
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const qellog::IniKey& key = qellog::kLogKeys[i];
    if (key.apply == nullptr) continue;
    step.text = value(key.name);
    if (step.text == nullptr && reloading) step.text = key.absent;
    if (step.text != nullptr) key.apply(step);
  }
  if (qellog::asks_for_flush_thread(log) && !log.thread_run.load()) {
    ini_.writelog(LOGBIT_INFO, "%s: Reopen and Rotatetime need Flushthread=yes, ignored", op_);
  }
}

// Each name of [CLASSES], in file order: NAME = bit. A name or bit that the
// log refuses is an error line of the trace and names nothing. A reload
// then takes their names from the bits the file no longer names.
void LogSetup::apply_classes(CQel_Log& log, bool reloading) {
  unsigned named = 0;
  CSimpleIniA::TNamesDepend keys;
  doc_.GetAllKeys(qellog::kClassSection, keys);
  keys.sort(CSimpleIniA::Entry::LoadOrder());
  for (const CSimpleIniA::Entry& key : keys) {
    const char* text = doc_.GetValue(qellog::kClassSection, key.pItem, "");
    const unsigned bit = read_word(text);
    if (const char* problem = qellog::class_name_problem(bit, key.pItem)) {
      ini_.writelog(LOGBIT_ERROR, "%s: class %s = %s refused: %s", op_, key.pItem, text, problem);
      continue;
    }
    log.set_classname(bit, key.pItem);
    named |= bit;
    ini_.writelog(LOGBIT_INFO, "%s: class %s bit 0x%x", op_, key.pItem, bit);
  }
  for (unsigned bit = 2; reloading && bit != 0; bit <<= 1) {
    if ((named & bit) == 0 && log.get_classname(bit) != nullptr) log.set_classname(bit, nullptr);
  }
}

unsigned LogSetup::reload(CQel_Log& log) {
  if (!resolve()) return INI_ERR_NOT_FOUND;
  char before[sizeof log.filename];
  std::memcpy(before, log.filename, sizeof before);
  qellog::PathRefusal refused;
  errno = 0;
  if (!qellog::move_log_to(log, path_, flags_, mode_, lineend(), given_dir(),
                           given_dir() != -1 ? dir_len_ : 0, &refused)) {
    const int err = errno;
    ini_.writelog(LOGBIT_ERROR, "%s: open %s failed %d, the log stays in %s", op_, path_, err,
                  before);
    if (refused.reason != nullptr) qellog::say_refusal(qellog::kLogFileRefused, path_, refused);
    return INI_ERR_NOT_FOUND;
  }
  if (std::strcmp(before, path_) != 0) {
    ini_.writelog(LOGBIT_INFO, "%s: log moved from %s to %s", op_, before, path_);
  } else {
    ini_.writelog(LOGBIT_INFO, "%s: log stays in %s", op_, path_);
  }
  apply_settings(log, true);
  apply_classes(log, true);
  return INI_SUCCESS;
}

// Loads the parameter file for a lookup. INI_SUCCESS, or the result code
// the lookup returns (the file name's own code, or INI_ERR_LOAD_FILE).
unsigned load_parameters(CQel_ini& ini, CSimpleIniA& doc, const char* op) {
  char path[kPathCapacity];
  const unsigned rc = ini.get_ini_filename(path, sizeof path);
  if (rc != INI_SUCCESS) return rc;
  const SI_Error loaded = qellog::load_param_file(doc, path);
  if (loaded < 0) {
    ini.writelog(LOGBIT_INFO, "%s: loading file %s failed %d", op, path, loaded);
    return INI_ERR_LOAD_FILE;
  }
  return INI_SUCCESS;
}

// Loads the parameter file for the set-up or a reload (`op`): INI_SUCCESS,
// or the code the operation returns. A file that another user could have
// written is not obeyed, and the user learns why on standard error, as
// for a file that QELLOG_CONFIG_DIR names and that cannot be read.
unsigned load_setup_file(CQel_ini& ini, CSimpleIniA& doc, const char* op) {
  char ini_path[kPathCapacity];
  const unsigned rc = ini.get_ini_filename(ini_path, sizeof ini_path);
  if (rc != INI_SUCCESS) {
    ini.writelog(LOGBIT_ERROR, "%s: get_ini_filename failed 0x%x", op, rc);
    return rc;
  }
  ini.writelog(LOGBIT_INFO, "%s: Load ini file %s", op, ini_path);
  qellog::PathRefusal refused;
  errno = 0;
  const SI_Error loaded = qellog::load_param_file(doc, ini_path, &refused);
  if (loaded >= 0) return INI_SUCCESS;
  const int err = loaded == SI_NOMEM ? ENOMEM : errno != 0 ? errno : EIO;
  ini.writelog(LOGBIT_INFO, "%s: loading file %s failed %d", op, ini_path, loaded);
  if (refused.reason != nullptr) {
    char why[1200];
    qellog::format_refusal(why, sizeof why, refused);
    ini.writelog(LOGBIT_ERROR, "%s: parameter file %s refused: %s", op, ini_path, why);
    qellog::say_refusal(kParamFileRefused, ini_path, refused);
  } else {
    qellog::report_unread_param_file(ini_path, err);
  }
  return INI_ERR_LOAD_FILE;
}

}  // namespace

// The document is a local object throughout: it is released on every
// return and when new or the log's constructor throws.
CQel_Log* CQel_ini::create_log_from_ini() {
  CSimpleIniA doc;
  if (load_setup_file(*this, doc, kCreateOp) != INI_SUCCESS) return nullptr;
  return LogSetup(*this, doc, kCreateOp).build();
}

unsigned int CQel_ini::reload_log_from_ini(CQel_Log* log) {
  if (log == nullptr) {
    writelog(LOGBIT_ERROR, "%s: no log", kReloadOp);
    return INI_ERR_NOT_FOUND;
  }
  CSimpleIniA doc;
  const unsigned rc = load_setup_file(*this, doc, kReloadOp);
  if (rc != INI_SUCCESS) return rc;
  return LogSetup(*this, doc, kReloadOp).reload(*log);
}

unsigned int CQel_ini::get_param_from_ini(const char* section, const char* key,
                                          unsigned int& value) {
  CSimpleIniA doc;
  const unsigned rc = load_parameters(*this, doc, kGetParam);
  if (rc != INI_SUCCESS) return rc;
  const char* text =
      section != nullptr && key != nullptr ? doc.GetValue(section, key, nullptr) : nullptr;
  if (text == nullptr) {
    writelog(LOGBIT_INFO, "%s: [%s] %s not found ", kGetParam, or_null(section), or_null(key));
    return INI_ERR_NOT_FOUND;
  }
  value = read_word(text);
  writelog(LOGBIT_INFO, "%s: [%s] %s value 0x%x ", kGetParam, section, text, value);
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
  writelog(LOGBIT_INFO, "%s: [GENERAL] %s general_bits 0x%x ", kGetGeneral, text, bits);
  return INI_SUCCESS;
}
