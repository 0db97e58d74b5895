// Judging a log's live name, its files' heads and whether anyone still
// writes into a file.
#include "log/log_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "log/file_format.h"
#include "log/sys_calls.h"

namespace qellog {

bool live_name_rotatable(int dir_fd, const char* leaf) {
  struct stat st;
  if (sys.fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(st.st_mode);
}

bool others_may_plant(const struct stat& dir) {
  const uid_t me = geteuid();
  return (dir.st_uid != me && dir.st_uid != 0) || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

int open_to_look(int dir_fd, const char* name, dev_t dev, ino_t ino) {
  const int fd =
      sys.openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  struct stat st;
  if (sys.fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino && S_ISREG(st.st_mode)) {
    return fd;
  }
  sys.close(fd);
  return -1;
}

size_t read_head(int fd, char* buf, size_t cap) {
  size_t n = 0;
  while (n < cap) {
    const ssize_t got = sys.pread(fd, buf + n, cap - n, static_cast<off_t>(n));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  return n;
}

size_t read_file_head(int dir_fd, const char* name, dev_t dev, ino_t ino, char* buf, size_t cap) {
  const int fd = open_to_look(dir_fd, name, dev, ino);
  if (fd < 0) return 0;
  const size_t n = read_head(fd, buf, cap);
  sys.close(fd);
  return n;
}

bool begins_with_own_header(int fd, const char* leaf) {
  char head[kHeadProbe];
  return begins_with_header_of(head, read_head(fd, head, sizeof head), leaf);
}

bool begins_with_own_header(int dir_fd, const char* name, dev_t dev, ino_t ino, const char* leaf) {
  char head[kHeadProbe];
  const size_t n = read_file_head(dir_fd, name, dev, ino, head, sizeof head);
  return begins_with_header_of(head, n, leaf);
}

void mark_live_file(int fd) {
  // flock(2) rather than a POSIX or OFD record lock: a shared record lock
  // needs a descriptor open for reading, and the log's is often write-only.
  // Both kinds go with the open file description.
  while (sys.flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EINTR) {
  }
}

Writers live_writers(int fd, bool keep) {
  int rc;
  while ((rc = sys.flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) return errno == EWOULDBLOCK ? Writers::kSome : Writers::kUnknown;
  if (!keep) sys.flock(fd, LOCK_UN);
  return Writers::kNone;
}

}  // namespace qellog
