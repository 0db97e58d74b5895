#include "log/live_open.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "log/log_files.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

// Added to the host's flags at every open of the live name: a FIFO
// planted under the name would block the open until someone reads it, and
// O_NONBLOCK fails it instead.
constexpr int kAlways = O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int kCreating = O_CREAT | O_TRUNC | O_EXCL;

// The directory a set-up hands to the construction it starts on this
// thread (GivenDirectory).
struct Given {
  int dir_fd;
  size_t prefix_len;
};
thread_local Given t_given = {-1, 0};

// Why the own-file rule refuses what a name holds, by its type.
const char* refusal_reason(mode_t type) {
  switch (type & S_IFMT) {
    case S_IFREG:
      return "a regular file of another user, in a directory where other users may add names";
    case S_IFLNK:
      return "a symbolic link, in a directory where other users may add names";
    case S_IFIFO:
      return "a FIFO, in a directory where other users may add names";
    case S_IFSOCK:
      return "a socket, in a directory where other users may add names";
    default:
      return "a device, in a directory where other users may add names";
  }
}

// The own-file rule at the start, for `st` (the live name, not followed):
// 0 when the log may take it (a directory fails the open by itself), or
// the errno of the refusal with `why` filled.
int judge_start_name(bool shared, const char* filename, const struct stat& st, PathRefusal* why) {
  if (!shared || S_ISDIR(st.st_mode)) return 0;
  if (S_ISREG(st.st_mode) && st.st_uid == geteuid()) return 0;
  refuse_path(why, filename, st, refusal_reason(st.st_mode));
  return S_ISREG(st.st_mode) ? EPERM : S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
}

// The open where others may add names. A name taken between the look and
// the open is looked at once more; the file judged must be the file
// opened.
int open_own_file(int dir_fd, const char* leaf, const char* filename, int flags, unsigned mode,
                  PathRefusal* why) {
  for (int round = 0; round < 2; ++round) {
    struct stat st;
    if (sys.fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || (flags & O_CREAT) == 0) return -1;
      const int fd = sys.openat(dir_fd, leaf, flags | O_EXCL | O_NOFOLLOW | kAlways, mode);
      if (fd != -1 || errno != EEXIST || (flags & O_EXCL) != 0) return fd;
      continue;
    }
    if (const int err = judge_start_name(true, filename, st, why)) {
      errno = err;
      return -1;
    }
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
      errno = EEXIST;
      return -1;
    }
    const int fd = sys.openat(dir_fd, leaf, (flags & ~kCreating) | O_NOFOLLOW | kAlways, 0);
    if (fd == -1) return -1;
    struct stat got;
    if (sys.fstat(fd, &got) == 0 && same_inode(got, st)) {
      // Emptied only now that it is known to be the user's own file.
      if ((flags & O_TRUNC) != 0 && sys.ftruncate(fd, 0) != 0) {
        const int err = errno;
        sys.close(fd);
        errno = err;
        return -1;
      }
      return fd;
    }
    sys.close(fd);
  }
  errno = EAGAIN;
  return -1;
}

int access_bits(int flags) {
  switch (flags & O_ACCMODE) {
    case O_RDONLY:
      return R_OK;
    case O_RDWR:
      return R_OK | W_OK;
    default:
      return W_OK;
  }
}

int accessible(int dir_fd, const char* name, int bits) {
  return sys.faccessat(dir_fd, name, bits, AT_EACCESS) == 0 ? 0 : errno;
}

// What the open of the existing name (followed in a directory only the
// effective user and root change) would give, by its type.
int predict_existing(int dir_fd, const char* leaf, const struct stat& st, int flags) {
  if (S_ISDIR(st.st_mode)) return (flags & O_ACCMODE) == O_RDONLY ? 0 : EISDIR;
  if (S_ISSOCK(st.st_mode)) return ENXIO;
  if (S_ISFIFO(st.st_mode)) {
    // Only an open tells whether a reader holds the FIFO.
    const int fd = sys.openat(dir_fd, leaf, (flags & O_ACCMODE) | kAlways, 0);
    if (fd == -1) return errno;
    sys.close(fd);
    return 0;
  }
  return accessible(dir_fd, leaf, access_bits(flags));
}

// predict_live_open() once the directory is open.
int predict_in(int dir_fd, const char* leaf, bool shared, const char* filename, int flags,
               PathRefusal* why) {
  struct stat st;
  if (sys.fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT || (flags & O_CREAT) == 0) return errno;
    return accessible(dir_fd, ".", W_OK | X_OK);
  }
  if (const int err = judge_start_name(shared, filename, st, why)) return err;
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) return EEXIST;
  // A link here is followed, as the open follows it; through a dangling
  // one O_CREAT makes its target.
  if (S_ISLNK(st.st_mode) && sys.fstatat(dir_fd, leaf, &st, 0) != 0) {
    return errno == ENOENT && (flags & O_CREAT) != 0 ? 0 : errno;
  }
  return predict_existing(dir_fd, leaf, st, flags);
}

}  // namespace

int open_name_directory(const char* filename, bool* shared, PathRefusal* why) {
  const char* slash = std::strrchr(filename, '/');
  const size_t dir_len = slash != nullptr ? static_cast<size_t>(slash - filename) + 1 : 0;
  // "/app.log" lives in "/", "logs/app.log" in "logs/", "app.log" in ".";
  // with a directory handed over, the rest of the name is walked from it.
  int at = AT_FDCWD;
  size_t from = 0;
  if (t_given.dir_fd != -1 && t_given.prefix_len <= dir_len) {
    at = t_given.dir_fd;
    from = t_given.prefix_len;
    while (from < dir_len && filename[from] == '/') ++from;
  }
  char dir[1024];
  if (dir_len - from >= sizeof dir) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(dir, filename + from, dir_len - from);
  dir[dir_len - from] = '\0';
  DirWalk walk;
  const int fd = walk_directory(at, dir, &walk);
  struct stat st;
  if (fd != -1) {
    *shared = sys.fstat(fd, &st) != 0 || others_may_plant(st);
  } else if (why != nullptr && walk.refusal.reason != nullptr) {
    *why = walk.refusal;
  }
  return fd;
}

GivenDirectory::GivenDirectory(int dir_fd, size_t prefix_len) { t_given = {dir_fd, prefix_len}; }

GivenDirectory::~GivenDirectory() { t_given = {-1, 0}; }

int open_live_file(int dir_fd, const char* leaf, bool shared, const char* filename, int flags,
                   unsigned mode, PathRefusal* why) {
  const int fd = shared ? open_own_file(dir_fd, leaf, filename, flags, mode, why)
                        : sys.openat(dir_fd, leaf, flags | kAlways, mode);
  if (fd == -1) return -1;
  if ((flags & O_NONBLOCK) == 0) sys.fcntl(fd, F_SETFL, sys.fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
  mark_live_file(fd);
  return fd;
}

int predict_live_open(const char* filename, int flags, bool new_dir, PathRefusal* why) {
  if (new_dir) return (flags & O_CREAT) != 0 ? 0 : ENOENT;
  bool shared = false;
  const int dir_fd = open_name_directory(filename, &shared, why);
  if (dir_fd == -1) return errno;
  const char* slash = std::strrchr(filename, '/');
  const char* leaf = slash != nullptr ? slash + 1 : filename;
  const int err = predict_in(dir_fd, leaf, shared, filename, flags, why);
  sys.close(dir_fd);
  return err;
}

}  // namespace qellog
