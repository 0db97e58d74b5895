// The parameter file's descriptor, the rule that decides whether a
// parameter file is obeyed, and the process's privilege.
#include "config/param_file.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qellog {

bool (*privilege_probe)() = nullptr;
void (*param_fd_observer)(int fd) = nullptr;

bool running_privileged() {
  if (privilege_probe != nullptr) return privilege_probe();
  return getauxval(AT_SECURE) != 0;
}

namespace {

constexpr char kForeignOwner[] = "owned by neither the effective user nor root";
constexpr char kOthersWrite[] = "writable by group or others";

// The file, checked on the open descriptor so that the file judged is the
// file read: a name checked apart could be swapped in between. Only a
// regular file of the effective user or root that neither group nor
// others may write is obeyed.
bool trusted_file(const struct stat& st, const char* path, PathRefusal* why) {
  const char* reason = nullptr;
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    reason = kForeignOwner;
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    reason = kOthersWrite;
  } else {
    return true;
  }
  refuse_path(why, path, st, reason);
  return false;
}

// `path` made absolute against the working directory, so that every
// directory on the way to it is judged. False (errno) when it does not fit.
bool absolute(const char* path, char* out, size_t cap) {
  if (path[0] == '/') {
    if (std::strlen(path) >= cap) return errno = ENAMETOOLONG, false;
    std::strcpy(out, path);
    return true;
  }
  if (getcwd(out, cap) == nullptr) return false;
  const size_t len = std::strlen(out);
  if (len + 1 + std::strlen(path) >= cap) return errno = ENAMETOOLONG, false;
  out[len] = '/';
  std::strcpy(out + len + 1, path);
  return true;
}

// Opens `path` without blocking, reached one component at a time: every
// directory on the way one that only the effective user and root can
// change, no link that another user could have planted, and in a
// privileged process no link at the last step at all.
int open_trusted(const char* path, bool privileged, PathRefusal* why) {
  char full[4096];
  if (!absolute(path, full, sizeof full)) return -1;
  DirWalk walk;
  walk.rule = WalkRule::kTrustedChain;
  char leaf[256];
  const int dir_fd = walk_to_file(AT_FDCWD, full, !privileged, &walk, leaf, sizeof leaf);
  if (dir_fd == -1) {
    if (why != nullptr && walk.refusal.reason != nullptr) *why = walk.refusal;
    return -1;
  }
  // O_NONBLOCK: a FIFO planted at the name must not block the open.
  const int fd = openat(dir_fd, leaf, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  const int err = errno;
  close(dir_fd);
  errno = err;
  return fd;
}

}  // namespace

FILE* open_param_file(const char* path, PathRefusal* why) {
  const bool privileged = running_privileged();
  // A privileged process reads nothing relative to a working directory that
  // its unprivileged caller chose.
  if (privileged && path[0] != '/') {
    errno = EACCES;
    return nullptr;
  }
  const int fd = open_trusted(path, privileged, why);
  if (fd == -1) return nullptr;
  // Only a regular file is parsed: the parser sizes its buffer by seeking
  // to the end, which a directory or a device answers with nonsense.
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const bool too_large =
      regular && static_cast<unsigned long long>(st.st_size) > kMaxParamFileBytes;
  if (!regular || too_large || !trusted_file(st, path, why)) {
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
