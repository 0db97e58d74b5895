#include "log/log_path.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "config/log_files.h"
#include "log/file_format.h"

namespace qellog {

int (*g_renameat2)(int, const char*, int, const char*, unsigned) = ::renameat2;

bool open_log_directory(const char* filename, LogState& s) {
  size_t dir_len = 0;
  if (!split_last_component(filename, &dir_len, s.stem, sizeof s.stem, s.ext,
                            sizeof s.ext)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::strcpy(s.leaf, filename + dir_len);
  char dir[1024];
  if (dir_len == 0) {
    std::strcpy(dir, ".");
  } else {
    // "/app.log" lives in "/", "logs/app.log" in "logs/".
    std::memcpy(dir, filename, dir_len);
    dir[dir_len] = '\0';
  }
  s.dir_fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (s.dir_fd == -1) return false;
  struct stat st;
  s.nofollow = fstat(s.dir_fd, &st) != 0 || others_may_plant(st);
  return true;
}

int open_live_file(const LogState& s, int flags, unsigned mode) {
  int all = flags | O_APPEND | O_CLOEXEC;
  if (s.nofollow) all |= O_NOFOLLOW;
  return openat(s.dir_fd, s.leaf, all, mode);
}

int open_fresh_file(const LogState& s, bool* created, unsigned long* prior) {
  constexpr int kWrite = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
  *prior = 0;
  *created = true;
  int fd = openat(s.dir_fd, s.leaf, kWrite | O_CREAT | O_EXCL, s.mode);
  if (fd != -1 || errno != EEXIST) return fd;
  // The name was just moved away, so this file was made since, most likely
  // by another process logging to the same file: its lines stay. O_NONBLOCK
  // keeps a planted FIFO from blocking the open.
  *created = false;
  fd = openat(s.dir_fd, s.leaf, kWrite | O_NONBLOCK | O_NOCTTY);
  if (fd == -1) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  *prior = static_cast<unsigned long>(st.st_size);
  return fd;
}

unsigned long regular_file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<unsigned long>(st.st_size);
}

int rename_noreplace(const LogState& s, const char* from, const char* to) {
  if (g_renameat2(s.dir_fd, from, s.dir_fd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // Racy, but only against another process rotating the same file in the
  // same millisecond.
  struct stat st;
  if (fstatat(s.dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return renameat(s.dir_fd, from, s.dir_fd, to);
}

}  // namespace qellog
