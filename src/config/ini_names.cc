// The configuration reader object: its base name, the home directory text,
// the three per-user file names and the reader's diagnostic output.
#include "config/ini_names.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/param_file.h"
#include "config/setup_seam.h"
#include "qellog/ini.h"

namespace qellog {

NameStatus compose_file_name(const char* home, const char* dir, const char* name,
                             const char* suffix, char* buf, int size) {
  const size_t total =
      std::strlen(home) + std::strlen(dir) + std::strlen(name) + std::strlen(suffix);
  if (total > static_cast<size_t>(kMaxFileNameLength)) {
    return NameStatus::kTooLong;
  }
  // The limit above bounds both forms, so the work buffer never cuts a name;
  // the caller's buffer is touched only once the name is known to fit.
  char work[1024];
  const int len = home[0] != '\0'
                      ? std::snprintf(work, sizeof work, "%s%s%s%s", home, dir, name, suffix)
                      : std::snprintf(work, sizeof work, "./%s%s", name, suffix);
  // Signed on purpose: a size of 0 or below never holds a name.
  if (size <= len) return NameStatus::kBufferTooShort;
  std::memcpy(buf, work, static_cast<size_t>(len) + 1);
  return NameStatus::kOk;
}

namespace {

// The home directory of `uid` from the password database, kept per thread
// until the next call; "" without an entry or a home.
const char* password_home(uid_t uid) {
  thread_local std::string home;
  std::vector<char> buf(1024);
  passwd entry;
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &entry, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return "";
  home = found->pw_dir;
  return home.c_str();
}

}  // namespace

const char* config_dir_from_env() {
  if (running_privileged()) return nullptr;
  const char* dir = std::getenv(kConfigDirVariable);
  return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}

NameStatus compose_config_name(const char* home_dir, const char* name, const char* suffix,
                               char* buf, int size) {
  if (const char* dir = config_dir_from_env()) {
    const bool has_slash = dir[std::strlen(dir) - 1] == '/';
    return compose_file_name(dir, has_slash ? "" : "/", name, suffix, buf, size);
  }
  return compose_file_name(config_home(), home_dir, name, suffix, buf, size);
}

void report_unread_param_file(const char* path, int err) {
  const char* dir = config_dir_from_env();
  if (dir == nullptr) return;
  char buf[256];
  std::fprintf(stderr, "qellog: %s=%s: cannot read %s: %s\n", kConfigDirVariable, dir, path,
               strerror_r(err, buf, sizeof buf));
}

const char* config_home() {
  // The caller of a setuid or setgid program controls its environment, so a
  // privileged process takes the home of the user whose rights it runs with.
  if (running_privileged()) return password_home(geteuid());
  const char* home = std::getenv("HOME");
  // A HOME that is set but empty is a choice of the user (names relative to
  // the working directory), not a reason to ask the password database.
  if (home != nullptr) return home;
  return password_home(getuid());
}

}  // namespace qellog

namespace {

using qellog::NameStatus;

// Maps a composition status to the result code, reporting failures of the
// operations that have diagnostics.
unsigned report_status(CQel_ini& ini, NameStatus status, const char* op) {
  switch (status) {
    case NameStatus::kOk:
      return INI_SUCCESS;
    case NameStatus::kTooLong:
      ini.writelog(LOGBIT_ERROR, "%s: filename buffer to short", op);
      break;
    case NameStatus::kBufferTooShort:
      ini.writelog(LOGBIT_ERROR, "%s: fname buffer to short", op);
      break;
  }
  return INI_ERR_BUFFER_TOO_SHORT;
}

// The whole text of a diagnostic line, however long its values are.
std::string formatted(const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  const int len = std::vsnprintf(nullptr, 0, fmt, args);
  std::string text(len > 0 ? static_cast<size_t>(len) : 0, '\0');
  if (len > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

}  // namespace

CQel_ini::CQel_ini(const char* base_name)
    : ini_log(nullptr),
      config_dir("/.config/qel/"),
      param_suffix("_param.ini"),
      reg_suffix("_reg.ini") {
  std::memset(name, 0, sizeof name);
  if (base_name != nullptr) {
    std::memcpy(name, base_name, strnlen(base_name, qellog::kMaxBaseNameLength));
  }
}

unsigned int CQel_ini::get_ini_filename(char* buf, int size) {
  // Silent by design: callers report this failure in their own words.
  const NameStatus status = qellog::compose_config_name(config_dir, name, param_suffix, buf, size);
  return status == NameStatus::kOk ? INI_SUCCESS : INI_ERR_BUFFER_TOO_SHORT;
}

unsigned int CQel_ini::get_reg_filename(char* buf, int size) {
  return report_status(*this, qellog::compose_config_name(config_dir, name, reg_suffix, buf, size),
                       "get_reg_filename");
}

unsigned int CQel_ini::get_default_logname(char* buf, int size) {
  return report_status(*this,
                       qellog::compose_file_name(qellog::config_home(), qellog::kDefaultLogDir,
                                                 name, ".log", buf, size),
                       "get_default_logname");
}

void CQel_ini::writelog(unsigned flags, const char* fmt, ...) {
  void (*const trace)(unsigned, const char*) = qellog::g_setup_seam.trace;
  if (ini_log == nullptr && trace == nullptr) return;
  va_list args;
  va_start(args, fmt);
  if (trace != nullptr) {
    va_list copy;
    va_copy(copy, args);
    trace(flags, formatted(fmt, copy).c_str());
    va_end(copy);
  }
  if (ini_log != nullptr) ini_log->writelog(flags, 0, fmt, args);
  va_end(args);
}

void CQel_ini::set_ini_log(CQel_Log* log) { ini_log = log; }
