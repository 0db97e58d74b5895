// --where and --init: the files of a base name's log, and a fresh
// parameter file for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "ini_text.h"
#include "log_files.h"
#include "qellog/ini.h"

namespace qellog_tool {
namespace {

struct Names {
  char param[1024];
  char log[1024];
};

bool resolve(const char* name, Names* out) {
  CQel_ini ini(name);
  if (ini.get_ini_filename(out->param, sizeof out->param) == INI_SUCCESS &&
      ini.get_default_logname(out->log, sizeof out->log) == INI_SUCCESS) {
    return true;
  }
  std::fprintf(stderr,
               "qellog: the file names of \"%s\" do not fit 1021 characters "
               "(is HOME too long?)\n",
               name);
  return false;
}

// "/a/b/c.log" -> "/a/b" and "c.log"; "c.log" -> "." and "c.log".
void split_path(const std::string& path, std::string* dir, std::string* file) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *file = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *file = path.substr(slash + 1);
  }
}

// mkdir -p with mode 0755; 0 or the errno of the step that failed.
int make_dirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos < dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// @NAME@, @LOGPATH@ and @LOGNAME@ are replaced by param_text().
const char kParamTemplate[] =
    R"(; Parameters of the log "@NAME@", read by libqellog when the program
; calls init_logging("@NAME@"), or when `qellog @NAME@` runs.
; Numbers are read like C's strtoul in base 0: 0x1f is hexadecimal,
; 0644 octal, anything else decimal.

[LOGGING]
; Directory of the log file. When missing it is created (mode 0775),
; but only its last component: its parent must exist.
Logpath = @LOGPATH@
; Name of the log file inside Logpath.
Logname = @LOGNAME@
; Open flags: O_CREAT creates a missing log file; O_TRUNC would empty
; it at every start. Without O_CREAT the file must exist already.
LogFileFlags = O_CREAT
; Permission bits of a newly created log file (less the umask).
LogFilePermission = 0644
; Enable mask: 0x1 errors, 0x2 information, other bits for the program;
; prefix fields 0x1000 time of day, 0x2000 elapsed time, 0x4000 pid:tid,
; 0x8000 processor. A line is written when its flag word shares a bit
; with this mask; 0 writes nothing.
Logging = 0x1003
; The file is synced to disk after this many writes.
Flushcount = 1000
; Size at which the flush thread moves the file to a time-stamped name
; and starts a new one: a number of bytes, or with the unit Mb or kb.
Maxfilesize = 4Mb
; yes: a background thread syncs (and rotates) the file;
; no: every sync happens in the writing thread, and nothing rotates.
Flushthread = yes
; Optional, off while commented out:
; keep at most this many rotated files of this log (0: no limit),
;Maxfilecount = 10
; keep rotated files while their total size stays within this (Mb or kb),
;Maxtotalsize = 100Mb
; remove rotated files whose stamp is older than this many days.
;Maxfileage = 30
; yes: a line that could not be written is recorded in the file by the
; next line that could ("... lines lost since ..., last error ...").
;Lostlines = yes
; yes: the flush thread notices when another tool (logrotate) moved or
; truncated the file and goes on in the file under the name; it checks at
; each flush and every Reopeninterval seconds.
;Reopen = yes
;Reopeninterval = 10
; daily or hourly: also rotate at local midnight or the top of the hour.
;Rotatetime = daily
; yes: the new file takes the name before the old one gets its rotated
; name, so that a shipper tailing the name never misses a line.
;Tailsafe = yes

[GENERAL]
; A number for the program's own use; the library gives it no meaning.
general = 0
)";

std::string param_text(const std::string& name, const std::string& log_dir,
                       const std::string& log_file) {
  const std::pair<const char*, const std::string*> fields[] = {
      {"@NAME@", &name}, {"@LOGPATH@", &log_dir}, {"@LOGNAME@", &log_file}};
  const std::string tmpl = kParamTemplate;
  std::string text;
  // One pass over the template: a value is never searched for keys.
  for (size_t pos = 0; pos < tmpl.size();) {
    bool replaced = false;
    for (const auto& [key, value] : fields) {
      if (tmpl.compare(pos, std::strlen(key), key) == 0) {
        text += *value;
        pos += std::strlen(key);
        replaced = true;
        break;
      }
    }
    if (!replaced) text += tmpl[pos++];
  }
  return text;
}

// 0, or the errno of the write that failed.
int write_all(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    off += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int print_where(const char* name) {
  std::string param, text;
  if (!param_file_of(name, &param)) return kExitNoLog;
  std::printf("parameter file: %s\n", param.c_str());
  if (const int err = read_whole_file(param, &text)) {
    std::printf("log file: none (%s: the library opens no log)\n",
                std::strerror(err));
    return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
  }
  const LogPlan plan = plan_log(logging_entries(text), name, home_text());
  struct stat st;
  unsigned long long total = 0;
  if (stat(plan.path.c_str(), &st) == 0) {
    std::printf("log file: %s (%s), %lld bytes\n", plan.path.c_str(),
                plan.rule.c_str(), static_cast<long long>(st.st_size));
    total = static_cast<unsigned long long>(st.st_size);
  } else {
    std::printf("log file: %s (%s), not there yet\n", plan.path.c_str(),
                plan.rule.c_str());
  }
  const std::vector<RotatedFile> rotated = rotated_files(plan.path);
  unsigned long long rotated_total = 0;
  for (const RotatedFile& f : rotated) {
    std::printf("rotated file: %s, %lld bytes\n", f.path.c_str(),
                static_cast<long long>(f.size));
    rotated_total += static_cast<unsigned long long>(f.size);
  }
  std::printf("rotated files: %zu, %llu bytes; with the log file %llu bytes\n",
              rotated.size(), rotated_total, rotated_total + total);
  return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
}

int write_param_file(const char* name) {
  Names names;
  if (!resolve(name, &names)) return kExitInit;
  const std::string param = names.param;
  std::string param_dir, param_base, log_dir, log_file;
  split_path(param, &param_dir, &param_base);
  split_path(names.log, &log_dir, &log_file);
  // The reader creates only the last component of Logpath; the whole
  // chain is made here so that the first run finds its directory.
  for (const std::string& dir : {param_dir, log_dir}) {
    if (const int err = make_dirs(dir)) {
      std::fprintf(stderr, "qellog: cannot create directory %s: %s\n",
                   dir.c_str(), std::strerror(err));
      return kExitInit;
    }
  }
  // O_EXCL: an existing file, even one created a moment ago by somebody
  // else, is never replaced.
  const int fd = open(param.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) {
      std::fprintf(stderr,
                   "qellog: %s exists already; not overwritten (edit it, or "
                   "remove it and run qellog --init %s again)\n",
                   param.c_str(), name);
    } else {
      std::fprintf(stderr, "qellog: cannot create %s: %s\n", param.c_str(),
                   std::strerror(err));
    }
    return kExitInit;
  }
  int err = write_all(fd, param_text(name, log_dir, log_file));
  if (close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    std::fprintf(stderr, "qellog: cannot write %s: %s\n", param.c_str(),
                 std::strerror(err));
    unlink(param.c_str());
    return kExitInit;
  }
  std::printf("qellog: wrote %s\nqellog: the log of \"%s\" goes to %s/%s\n",
              param.c_str(), name, log_dir.c_str(), log_file.c_str());
  return kExitOk;
}

}  // namespace qellog_tool
