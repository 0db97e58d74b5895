// The real operations behind the set-up's seam.
#include "config/setup_seam.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/live_open.h"
#include "log/log_move.h"

namespace qellog {
namespace {

constexpr char kDirectoryRefused[] = "qellog: the log directory";

int real_open_directory(const char* path, DirWalk* walk, int* dir_fd) {
  *dir_fd = walk_directory(AT_FDCWD, path, walk);
  if (*dir_fd != -1) return 0;
  const int err = errno;
  if (walk->refusal.reason != nullptr) say_refusal(kDirectoryRefused, path, walk->refusal);
  errno = err;
  return -1;
}

// The same open as the log's own, under the same rules, closed at once.
int real_probe_default(const char* path, int flags, unsigned mode) {
  bool shared = false;
  const int dir_fd = open_name_directory(path, &shared, nullptr);
  if (dir_fd == -1) return -1;
  const char* slash = std::strrchr(path, '/');
  const int fd = open_live_file(dir_fd, slash != nullptr ? slash + 1 : path, shared, path, flags,
                                mode, nullptr);
  const int err = errno;
  close(dir_fd);
  if (fd == -1) {
    errno = err;
    return -1;
  }
  close(fd);
  return 0;
}

CQel_Log* real_make_log(const char* path, int flags, unsigned mode, unsigned lineend, PathRule,
                        int dir_fd, size_t dir_len) {
  // The log works in the directory that was walked (and made), not in
  // whatever the name leads to now.
  GivenDirectory given(dir_fd, dir_len);
  return new CQel_Log(path, flags, mode, lineend);
}

}  // namespace

// Constant-initialized: the seam is in place before any constructor runs.
constexpr SetupSeam kRealSetup = {real_open_directory, real_probe_default, real_make_log, nullptr};
SetupSeam g_setup_seam = kRealSetup;

bool move_log_to(CQel_Log& log, const char* path, int flags, unsigned mode, unsigned lineend,
                 int dir_fd, size_t dir_len, PathRefusal* why) {
  GivenDirectory given(dir_fd, dir_len);
  return move_log(log, path, flags, mode, lineend == LINEEND_LF, why);
}

const char* path_rule_text(PathRule rule) {
  switch (rule) {
    case PathRule::kDirectoryAndName:
      return "Logpath + Logname";
    case PathRule::kDirectoryAndBaseName:
      return "Logpath + the base name";
    case PathRule::kAbsoluteName:
      return "Logname, an absolute path";
    case PathRule::kNameInDefaultDir:
      return "Logname in the default log directory";
    case PathRule::kDefaultName:
      break;
  }
  return "the default name";
}

}  // namespace qellog
