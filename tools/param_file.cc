// --where and --init: the files of a base name's log, and a fresh
// parameter file for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "config/ini_names.h"
#include "config/param_template.h"
#include "dry_run.h"
#include "log/generations.h"
#include "log/rotated_files.h"
#include "qellog/ini.h"
#include "say.h"

namespace qellog_tool {
namespace {

struct Names {
  char param[qellog::kFileNameCapacity];
  char log[qellog::kFileNameCapacity];
};

bool resolve(const char* name, Names* out) {
  CQel_ini ini(name);
  if (ini.get_ini_filename(out->param, sizeof out->param) == INI_SUCCESS &&
      ini.get_default_logname(out->log, sizeof out->log) == INI_SUCCESS) {
    return true;
  }
  say(stderr,
      "qellog: the file names of \"%s\" do not fit %d characters "
      "(is HOME too long?)",
      name, qellog::kMaxFileNameLength);
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

// The rotated files of the live file `live`, and their total size with
// the live file's `live_size`; then the names that only look like them,
// with the reason.
void print_rotated(const std::string& live, unsigned long long live_size) {
  unsigned long long total = 0;
  std::string dir;
  std::vector<qellog::RotatedFile> others;
  const std::vector<qellog::RotatedFile> rotated =
      qellog::rotated_files_of_path(live, &dir, &others);
  for (const qellog::RotatedFile& f : rotated) {
    say(stdout, "rotated file: %s%s, %llu bytes%s", dir.c_str(), f.name.c_str(), f.size,
        f.future ? " (stamped ahead of the clock: taken as the oldest)" : "");
    total += f.size;
  }
  say(stdout, "rotated files: %zu, %llu bytes; with the log file %llu bytes", rotated.size(), total,
      total + live_size);
  for (const qellog::RotatedFile& f : others) {
    // In the generations layout the log file is its current file's second name.
    if (f.standing == qellog::Standing::kLiveFile) {
      say(stdout, "current file: %s%s (the log file)", dir.c_str(), f.name.c_str());
      continue;
    }
    say(stdout, "not this log's: %s%s (%s)", dir.c_str(), f.name.c_str(),
        qellog::standing_text(f.standing));
  }
}

}  // namespace

int print_where(const char* name) {
  std::string param;
  if (!param_file_of(name, &param)) return kExitNoLog;
  say(stdout, "parameter file: %s", param.c_str());
  // Without a parameter file that the library reads there is no log: the
  // status says so, as for every other command.
  qellog::PathRefusal refused;
  if (const int err = param_file_errno(param, &refused)) {
    say(stdout, "log file: none (%s: the library opens no log)",
        param_problem(err, refused).c_str());
    std::fflush(stdout);
    return kExitNoLog;
  }
  const DryRun run = dry_run(name);
  if (!run.built) {
    say(stdout, "log file: none (the set-up builds no log)");
    std::fflush(stdout);
    return kExitNoLog;
  }
  const char* rule = qellog::path_rule_text(run.rule);
  struct stat st;
  unsigned long long total = 0;
  if (stat(run.path.c_str(), &st) == 0) {
    say(stdout, "log file: %s (%s), %lld bytes", run.path.c_str(), rule,
        static_cast<long long>(st.st_size));
    total = static_cast<unsigned long long>(st.st_size);
  } else {
    say(stdout, "log file: %s (%s), not there yet", run.path.c_str(), rule);
  }
  // The wildcard a shipper reads the files by (generations layout).
  const std::string glob = qellog::rotated_name_glob(run.path.c_str());
  if (!glob.empty()) say(stdout, "rotated names: %s", glob.c_str());
  print_rotated(run.path, total);
  return std::fflush(stdout) == 0 ? kExitOk : kExitNoLog;
}

int write_param_file(const char* name) {
  Names names;
  if (!resolve(name, &names)) return kExitInit;
  const std::string param = names.param;
  std::string param_dir, param_base, log_dir, log_file;
  split_path(param, &param_dir, &param_base);
  split_path(names.log, &log_dir, &log_file);
  // The reader creates only the last component of the log directory; the
  // whole chain is made here so that the first run finds its directory.
  for (const std::string& dir : {param_dir, log_dir}) {
    if (const int err = make_dirs(dir)) {
      say(stderr, "qellog: cannot create directory %s: %s", dir.c_str(), std::strerror(err));
      return kExitInit;
    }
  }
  // O_EXCL: an existing file, even one created a moment ago by somebody
  // else, is never replaced.
  const int fd = open(param.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) {
      say(stderr,
          "qellog: %s exists already; not overwritten (edit it, or "
          "remove it and run qellog --init %s again)",
          param.c_str(), name);
    } else {
      say(stderr, "qellog: cannot create %s: %s", param.c_str(), std::strerror(err));
    }
    return kExitInit;
  }
  int err = write_all(fd, qellog::param_file_template(name, log_dir, log_file));
  if (close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    say(stderr, "qellog: cannot write %s: %s", param.c_str(), std::strerror(err));
    unlink(param.c_str());
    return kExitInit;
  }
  say(stdout, "qellog: wrote %s", param.c_str());
  say(stdout, "qellog: the log of \"%s\" goes to %s/%s", name, log_dir.c_str(), log_file.c_str());
  return kExitOk;
}

}  // namespace qellog_tool
