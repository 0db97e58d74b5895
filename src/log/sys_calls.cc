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

}  // namespace

constexpr SysCalls kSystemCalls = {
    open_path,  open_at,      ::close,      ::write,   ::writev,    ::pread,
    ::fsync,    ::ftruncate,  file_control, ::flock,   ::fstat,     ::fstatat,
    ::statx,    ::renameat2,  ::unlinkat,   ::mkdirat, ::fdopendir, ::readdir,
    ::closedir, system_clock, nullptr,      nullptr,   nullptr,
};

SysCalls sys = kSystemCalls;

}  // namespace qellog
