#include "log/dir_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/sys_calls.h"
#include "log/write_loop.h"

namespace qellog {
namespace {

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;
constexpr char kPlantedLink[] = "a symbolic link that another user may have planted";
constexpr char kOpenDirectory[] = "a directory that other users may write";

// One walk: the links followed so far and the path as walked, for the
// refusal's line. Each step owns the descriptor it is given.
class Walker {
 public:
  explicit Walker(DirWalk* w) : w_(w) {}

  // Walks `path` from the directory `fd` (taken over); the directory
  // reached, or -1.
  int walk(int fd, const char* path, bool top);
  // Follows the link `name` in `fd` (not taken over); the directory it
  // leads to, or -1.
  int follow(int fd, const char* name, size_t mark, bool last);
  // The leaf `leaf` in `*fd`, followed as long as it is a link that may be
  // followed; false (errno) when a link cannot be followed.
  bool settle_leaf(int* fd, char* leaf, size_t cap);

 private:
  int step(int fd, const char* name, bool last);
  bool judged(int fd);
  size_t append(const char* name);
  int open_root();

  DirWalk* w_;
  int links_ = 0;
  char shown_[1024] = {};
  size_t shown_len_ = 0;
};

size_t Walker::append(const char* name) {
  const size_t mark = shown_len_;
  const bool slash = shown_len_ > 0 && shown_[shown_len_ - 1] != '/';
  const int n = std::snprintf(shown_ + shown_len_, sizeof shown_ - shown_len_, "%s%s",
                              slash ? "/" : "", name);
  if (n > 0) shown_len_ = std::min(sizeof shown_ - 1, shown_len_ + static_cast<size_t>(n));
  return mark;
}

bool Walker::judged(int fd) {
  if (w_->rule != WalkRule::kTrustedChain) return true;
  struct stat st;
  if (sys.fstat(fd, &st) != 0) return false;
  if (trusted_directory(st)) return true;
  refuse_path(&w_->refusal, shown_len_ > 0 ? shown_ : ".", st, kOpenDirectory);
  errno = EACCES;
  return false;
}

int Walker::open_root() {
  shown_len_ = 0;
  append("/");
  const int fd = sys.open("/", kDirFlags, 0);
  if (fd != -1 && !judged(fd)) {
    sys.close(fd);
    return -1;
  }
  return fd;
}

int Walker::walk(int fd, const char* path, bool top) {
  if (path[0] == '/') {
    sys.close(fd);
    fd = open_root();
    if (fd == -1) return -1;
  }
  for (const char* p = path;;) {
    while (*p == '/') ++p;
    if (*p == '\0') return fd;
    const char* end = std::strchr(p, '/');
    const size_t len = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    char name[256];
    if (len >= sizeof name) {
      sys.close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(name, p, len);
    name[len] = '\0';
    p += len;
    const char* rest = p;
    while (*rest == '/') ++rest;
    const int next = step(fd, name, top && *rest == '\0');
    sys.close(fd);
    if (next == -1) return -1;
    fd = next;
  }
}

int Walker::step(int fd, const char* name, bool last) {
  const size_t mark = append(name);
  int next = sys.openat(fd, name, kDirFlags, 0);
  if (next == -1 && errno == ENOENT && last && w_->create_last) {
    w_->mkdir_result = sys.mkdirat(fd, name, static_cast<mode_t>(w_->mkdir_mode));
    if (w_->mkdir_result != 0) return -1;
    // O_NOFOLLOW: whatever took the name since is not followed.
    next = sys.openat(fd, name, kDirFlags, 0);
  }
  if (next == -1 && (errno == ENOTDIR || errno == ELOOP)) return follow(fd, name, mark, last);
  if (next != -1 && !judged(next)) {
    sys.close(next);
    return -1;
  }
  return next;
}

int Walker::follow(int fd, const char* name, size_t mark, bool last) {
  // The link itself, so that the link judged is the link read.
  const int link = sys.openat(fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
  struct stat link_st;
  struct stat dir_st;
  if (link == -1) return -1;
  if (sys.fstat(link, &link_st) != 0 || !S_ISLNK(link_st.st_mode) || sys.fstat(fd, &dir_st) != 0) {
    sys.close(link);
    errno = last && w_->create_last ? EEXIST : ENOTDIR;
    return -1;
  }
  if (!may_follow_link(dir_st, link_st) || ++links_ > kMaxLinks) {
    if (links_ <= kMaxLinks) refuse_path(&w_->refusal, shown_, link_st, kPlantedLink);
    sys.close(link);
    errno = ELOOP;
    return -1;
  }
  char target[1024];
  const ssize_t n = sys.readlinkat(link, "", target, sizeof target - 1);
  sys.close(link);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target - 1) {
    if (n >= 0) errno = n == 0 ? ENOENT : ENAMETOOLONG;
    return -1;
  }
  target[n] = '\0';
  // The target is read from the link's own directory.
  shown_len_ = mark;
  shown_[mark] = '\0';
  const int from = sys.fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return from == -1 ? -1 : walk(from, target, false);
}

bool Walker::settle_leaf(int* fd, char* leaf, size_t cap) {
  for (;;) {
    struct stat st;
    struct stat dir_st;
    if (sys.fstatat(*fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (sys.fstat(*fd, &dir_st) != 0) return false;
    const size_t mark = append(leaf);
    if (!may_follow_link(dir_st, st) || ++links_ > kMaxLinks) {
      if (links_ <= kMaxLinks) refuse_path(&w_->refusal, shown_, st, kPlantedLink);
      errno = ELOOP;
      return false;
    }
    char target[1024];
    const ssize_t n = sys.readlinkat(*fd, leaf, target, sizeof target - 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target - 1) {
      if (n >= 0) errno = n == 0 ? ENOENT : ENAMETOOLONG;
      return false;
    }
    target[n] = '\0';
    shown_len_ = mark;
    shown_[mark] = '\0';
    const char* slash = std::strrchr(target, '/');
    const char* name = slash != nullptr ? slash + 1 : target;
    if (*name == '\0' || std::strlen(name) >= cap) {
      errno = *name == '\0' ? EISDIR : ENAMETOOLONG;
      return false;
    }
    if (slash != nullptr) {
      // "dir/x" walks "dir/", "/x" walks "/".
      char dir[1024];
      const size_t dir_len = static_cast<size_t>(slash - target) + 1;
      std::memcpy(dir, target, dir_len);
      dir[dir_len] = '\0';
      const int next = walk(*fd, dir, false);
      *fd = -1;
      if (next == -1) return false;
      *fd = next;
    }
    std::memmove(leaf, name, std::strlen(name) + 1);
  }
}

}  // namespace

bool may_follow_link(const struct stat& dir, const struct stat& link) {
  if (!others_may_plant(dir)) return true;
  return link.st_uid == geteuid() || (link.st_uid == 0 && dir.st_uid == 0);
}

bool trusted_directory(const struct stat& dir) {
  const uid_t me = geteuid();
  if (dir.st_uid != me && dir.st_uid != 0) return false;
  return (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (dir.st_mode & S_ISVTX) != 0;
}

void refuse_path(PathRefusal* why, const char* path, const struct stat& st, const char* reason) {
  if (why == nullptr) return;
  std::snprintf(why->path, sizeof why->path, "%s", path);
  why->owner = st.st_uid;
  why->mode = st.st_mode & 07777;
  why->reason = reason;
}

int walk_directory(int at, const char* path, DirWalk* walk) {
  const int start = sys.openat(at, ".", kDirFlags, 0);
  const int fd = start == -1 ? -1 : Walker(walk).walk(start, path, true);
  // Whatever stopped the walk short of a refusal would stop mkdir(2) too.
  if (fd == -1 && walk->create_last && walk->refusal.reason == nullptr) walk->mkdir_result = -1;
  return fd;
}

int walk_to_file(int at, const char* path, bool follow_leaf, DirWalk* walk, char* leaf,
                 size_t cap) {
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  const size_t name_len = std::strlen(name);
  const size_t dir_len = static_cast<size_t>(name - path);
  if (name_len >= cap || dir_len >= 1024) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char dir[1024];
  std::memcpy(dir, path, dir_len);
  dir[dir_len] = '\0';
  std::memcpy(leaf, name, name_len + 1);
  Walker walker(walk);
  const int start = sys.openat(at, ".", kDirFlags, 0);
  int fd = start == -1 ? -1 : walker.walk(start, dir, false);
  if (fd != -1 && follow_leaf && !walker.settle_leaf(&fd, leaf, cap)) {
    const int err = errno;
    if (fd != -1) sys.close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

size_t format_refusal(char* buf, size_t cap, const PathRefusal& why) {
  const int n = std::snprintf(buf, cap, "%s (uid %u, mode 0%o) is %s", why.path,
                              static_cast<unsigned>(why.owner), static_cast<unsigned>(why.mode),
                              why.reason != nullptr ? why.reason : "refused");
  return n < 0 ? 0 : std::min(cap - 1, static_cast<size_t>(n));
}

void say_refusal(const char* what, const char* name, const PathRefusal& why) {
  char line[3200];
  int n = std::snprintf(line, sizeof line - 1, "%s %s refused: ", what, name);
  if (n < 0) return;
  size_t len = std::min(sizeof line - 2, static_cast<size_t>(n));
  len += format_refusal(line + len, sizeof line - 1 - len, why);
  line[len++] = '\n';
  // A closed pipe there must not end the host: the write loop takes back
  // the SIGPIPE.
  write_all(STDERR_FILENO, line, len, nullptr, true);
}

}  // namespace qellog
