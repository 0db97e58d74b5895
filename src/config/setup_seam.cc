// The real operations behind the set-up's seam.
#include "config/setup_seam.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qellog {
namespace {

int real_make_directory(const char* path, unsigned mode) {
  return mkdir(path, static_cast<mode_t>(mode));
}

int real_probe_default(const char* path, int flags, unsigned mode) {
  // O_CLOEXEC keeps the short-lived descriptor from leaking into a child
  // forked by another thread meanwhile.
  const int fd = open(path, flags | O_CLOEXEC, mode);
  if (fd == -1) return -1;
  close(fd);
  return 0;
}

CQel_Log* real_make_log(const char* path, int flags, unsigned mode, unsigned lineend, PathRule) {
  return new CQel_Log(path, flags, mode, lineend);
}

}  // namespace

// Constant-initialized: the seam is in place before any constructor runs.
constexpr SetupSeam kRealSetup = {real_make_directory, real_probe_default, real_make_log, nullptr};
SetupSeam g_setup_seam = kRealSetup;

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
