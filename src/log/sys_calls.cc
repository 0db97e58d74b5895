#include "log/sys_calls.h"

#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

namespace qellog {
namespace {

// The calls whose C signature is variadic get a fixed one here.
int open_path(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int open_at(int dir_fd, const char* path, int flags, mode_t mode) {
  return ::openat(dir_fd, path, flags, mode);
}
int file_control(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }
time_t system_clock() { return ::time(nullptr); }

// By name, so that the order of the members does not matter; the steps
// stay null.
constexpr SysCalls system_calls() {
  SysCalls c{};
  c.open = open_path;
  c.openat = open_at;
  c.close = ::close;
  c.write = ::write;
  c.writev = ::writev;
  c.pread = ::pread;
  c.fsync = ::fsync;
  c.ftruncate = ::ftruncate;
  c.fcntl = file_control;
  c.flock = ::flock;
  c.fstat = ::fstat;
  c.fstatat = ::fstatat;
  c.statx = ::statx;
  c.renameat2 = ::renameat2;
  c.unlinkat = ::unlinkat;
  c.linkat = ::linkat;
  c.mkdirat = ::mkdirat;
  c.faccessat = ::faccessat;
  c.readlinkat = ::readlinkat;
  c.fdopendir = ::fdopendir;
  c.readdir = ::readdir;
  c.closedir = ::closedir;
  c.wall_clock = system_clock;
  return c;
}

}  // namespace

constexpr SysCalls kSystemCalls = system_calls();

SysCalls sys = kSystemCalls;

}  // namespace qellog
