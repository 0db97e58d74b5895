// The parameter file's descriptor and the checks a privileged process
// makes on it.
#include "config/param_file.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qellog {

bool (*privilege_probe)() = nullptr;
void (*param_fd_observer)(int fd) = nullptr;

bool running_privileged() {
  if (privilege_probe != nullptr) return privilege_probe();
  return getauxval(AT_SECURE) != 0;
}

namespace {

// Checked on the open descriptor, so that the file judged is the file read:
// a name checked apart could be swapped in between.
bool trusted_by_privileged(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return false;
  if (st.st_uid != geteuid() && st.st_uid != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

FILE* open_param_file(const char* path) {
  const bool privileged = running_privileged();
  // A privileged process reads nothing relative to a working directory that
  // its unprivileged caller chose, and follows no link at the last step.
  if (privileged && path[0] != '/') {
    errno = EACCES;
    return nullptr;
  }
  // O_NONBLOCK: a FIFO planted at the name must not block the open.
  const int fd =
      open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (privileged ? O_NOFOLLOW : 0));
  if (fd == -1) return nullptr;
  // Only a regular file is parsed: the parser sizes its buffer by seeking
  // to the end, which a directory or a device answers with nonsense.
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const bool too_large =
      regular && static_cast<unsigned long long>(st.st_size) > kMaxParamFileBytes;
  if (!regular || too_large || (privileged && !trusted_by_privileged(fd))) {
    close(fd);
    errno = !regular ? EINVAL : too_large ? EFBIG : EACCES;
    return nullptr;
  }
  fcntl(fd, F_SETFL, 0);
  // glibc's fdopen keeps FD_CLOEXEC on the descriptor.
  FILE* stream = fdopen(fd, "r");
  if (stream == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  if (param_fd_observer != nullptr) param_fd_observer(fileno(stream));
  return stream;
}

}  // namespace qellog
