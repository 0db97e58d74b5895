// The set-up run against a seam that only watches.
#include "dry_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/ini_keys.h"
#include "config/ini_names.h"
#include "config/param_file.h"
#include "log/live_open.h"
#include "log/log_files.h"
#include "qellog/ini.h"
#include "say.h"

namespace qellog_tool {
namespace {

// The run the seam's functions record into; set only while one runs.
DryRun* g_run = nullptr;

// "a/b.log" => "a"; "b.log" => "."; "/b.log" => "/".
std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir creates the last component of "a/b/" as of "a/b".
std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Says what the set-up's walk and mkdir would do; makes nothing. The walk
// is the library's own; mkdir(2) of the last component would fail with
// the errno of the walk to its parent, EEXIST when the name is there, or
// the parent's access error.
int pretend_open_directory(const char* path, qellog::DirWalk* walk, int* dir_fd) {
  *dir_fd = -1;
  g_run->dir_mode = walk->mkdir_mode;
  const bool create = walk->create_last;
  walk->create_last = false;
  const int fd = qellog::walk_directory(AT_FDCWD, path, walk);
  if (fd != -1) {
    close(fd);
    return 0;
  }
  if (walk->refusal.reason != nullptr) {
    g_run->dir_refusal = walk->refusal;
    return -1;
  }
  const std::string dir = without_trailing_slashes(path);
  qellog::DirWalk to_parent;
  char leaf[256];
  int err = 0;
  const int parent =
      qellog::walk_to_file(AT_FDCWD, dir.c_str(), false, &to_parent, leaf, sizeof leaf);
  struct stat st;
  if (parent == -1) {
    err = errno;
  } else {
    err = fstatat(parent, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0   ? EEXIST
          : faccessat(parent, ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0
                                                                 : errno;
    close(parent);
  }
  if (create) walk->mkdir_result = err == 0 ? 0 : -1;
  if (err == 0 && create) {
    g_run->created_dirs.push_back(dir);
    return 0;
  }
  g_run->dir_error = err != 0 ? err : ENOENT;
  errno = g_run->dir_error;
  return -1;
}

int pretend_probe(const char* path, int flags, unsigned) {
  const int err = qellog::predict_live_open(path, flags, false, nullptr);
  errno = err;
  return err == 0 ? 0 : -1;
}

// Records the log the set-up asks for and gives it one on /dev/null, so
// that the settings are applied to a real log and can be read back.
CQel_Log* pretend_log(const char* path, int flags, unsigned mode, unsigned, qellog::PathRule rule,
                      int, size_t) {
  g_run->path = path;
  g_run->flags = flags;
  g_run->mode = mode;
  g_run->rule = rule;
  return new CQel_Log("/dev/null", O_WRONLY, 0);
}

void keep_trace(unsigned flags, const char* text) {
  g_run->trace.push_back(std::string((flags & LOGBIT_ERROR) ? kFailureTag : "") + text);
}

// The seam replaced for the object's lifetime.
class Watching {
 public:
  explicit Watching(DryRun* run) {
    g_run = run;
    qellog::g_setup_seam = {pretend_open_directory, pretend_probe, pretend_log, keep_trace};
  }
  ~Watching() {
    qellog::g_setup_seam = qellog::kRealSetup;
    g_run = nullptr;
  }
};

void read_back(CQel_Log& log, DryRun* run) {
  for (size_t i = 0; i < qellog::kLogKeyCount; ++i) {
    const qellog::IniKey& key = qellog::kLogKeys[i];
    run->in_force.push_back(key.in_force != nullptr ? key.in_force(log) : 0);
  }
  run->thread_work_ignored = qellog::asks_for_flush_thread(log) && !log.flush_thread.joinable();
  for (unsigned i = 0; i < 32; ++i) {
    if (const char* name = log.get_classname(1u << i)) {
      char bit[16];
      std::snprintf(bit, sizeof bit, " 0x%x", 1u << i);
      run->classes.push_back(name + std::string(bit));
    }
  }
}

// The trace shows the address of the stand-in log; it says nothing about
// the user's file, so it is named for what it is.
void hide_address(const void* log, std::vector<std::string>* trace) {
  char shown[32];
  std::snprintf(shown, sizeof shown, "%p", log);
  for (std::string& line : *trace) {
    const size_t at = line.find(shown);
    if (at != std::string::npos) line.replace(at, std::strlen(shown), "(the new log)");
  }
}

}  // namespace

bool uses_directory(qellog::PathRule rule) {
  return rule == qellog::PathRule::kDirectoryAndName ||
         rule == qellog::PathRule::kDirectoryAndBaseName;
}

bool uses_logname(qellog::PathRule rule) {
  return rule == qellog::PathRule::kDirectoryAndName || rule == qellog::PathRule::kAbsoluteName ||
         rule == qellog::PathRule::kNameInDefaultDir;
}

DryRun dry_run(const char* name) {
  DryRun run;
  CQel_ini ini(name);
  std::unique_ptr<CQel_Log> log;
  {
    Watching watching(&run);
    log.reset(ini.create_log_from_ini());
  }
  if (log == nullptr) return run;
  run.built = true;
  read_back(*log, &run);
  hide_address(log.get(), &run.trace);
  return run;
}

int predict_open(const DryRun& run, qellog::PathRefusal* why) {
  const std::string dir = without_trailing_slashes(directory_of(run.path));
  const bool new_dir =
      std::find(run.created_dirs.begin(), run.created_dirs.end(), dir) != run.created_dirs.end();
  return qellog::predict_live_open(run.path.c_str(), run.flags, new_dir, why);
}

bool param_file_of(const char* name, std::string* path) {
  char buf[qellog::kFileNameCapacity];
  CQel_ini ini(name);
  if (ini.get_ini_filename(buf, sizeof buf) != INI_SUCCESS) {
    say(stderr,
        "qellog: the parameter file name of \"%s\" does not fit %d "
        "characters (is HOME too long?)",
        name, qellog::kMaxFileNameLength);
    return false;
  }
  *path = buf;
  return true;
}

int param_file_errno(const std::string& path, qellog::PathRefusal* why) {
  FILE* f = qellog::open_param_file(path.c_str(), why);
  if (f == nullptr) return errno;
  std::fclose(f);
  return 0;
}

std::string refusal_text(const qellog::PathRefusal& why) {
  char text[1200];
  qellog::format_refusal(text, sizeof text, why);
  return std::string("refused: ") + text;
}

std::string param_problem(int err, const qellog::PathRefusal& why) {
  if (why.reason != nullptr) return refusal_text(why);
  if (err == EINVAL) return "not a regular file";
  if (err == EFBIG) {
    return "larger than " + std::to_string(qellog::kMaxParamFileBytes) +
           " bytes, which the library does not read";
  }
  return std::strerror(err);
}

}  // namespace qellog_tool
