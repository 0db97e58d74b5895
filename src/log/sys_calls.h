// The engine's way to the system: every call it makes on a log's files and
// directories, the wall clock, and the steps a test may stop at, in one
// table, as LevelDB's Env. The engine calls only through `sys`; a test
// swaps one member, or the whole table, with ScopedSeam (tests/test_util.h)
// while no log thread runs, and so makes a write fail with ENOSPC, a rename
// with EACCES or an open with EMFILE without a special file system.
#ifndef QELLOG_SRC_LOG_SYS_CALLS_H
#define QELLOG_SRC_LOG_SYS_CALLS_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <cstddef>

namespace qellog {

// The steps of a piece's way through the append protocol at which a test
// may hold it, with the piece's bytes, while other pieces go on.
enum class AppendStep {
  kReserved,        // counted, before complete_append() looks at the protocol
  kCarefulTurn,     // a careful piece has its turn and has chosen its CR LF
  kCarefulWritten,  // ... its writev(2) has returned; it has not settled yet
};

// Each call has the system call's arguments, result and errno. Open flags
// always name their mode argument (0 when none is meant).
struct SysCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*openat)(int dir_fd, const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*write)(int fd, const void* data, size_t len);
  ssize_t (*writev)(int fd, const iovec* pieces, int count);
  ssize_t (*pread)(int fd, void* buf, size_t len, off_t offset);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t len);
  int (*fcntl)(int fd, int cmd, int arg);
  int (*flock)(int fd, int operation);
  int (*fstat)(int fd, struct stat* st);
  int (*fstatat)(int dir_fd, const char* path, struct stat* st, int flags);
  int (*statx)(int dir_fd, const char* path, int flags, unsigned mask, struct statx* x);
  // renameat2(2), also with RENAME_NOREPLACE and RENAME_EXCHANGE; flags 0
  // is a plain renameat(2).
  int (*renameat2)(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);
  int (*unlinkat)(int dir_fd, const char* path, int flags);
  int (*linkat)(int from_dir, const char* from, int to_dir, const char* to, int flags);
  int (*mkdirat)(int dir_fd, const char* path, mode_t mode);
  int (*faccessat)(int dir_fd, const char* path, int mode, int flags);
  ssize_t (*readlinkat)(int dir_fd, const char* path, char* buf, size_t cap);
  DIR* (*fdopendir)(int fd);
  dirent* (*readdir)(DIR* dir);
  int (*closedir)(DIR* dir);

  // time(2): the wall clock of time rotation, of the append protocol's
  // careful second, of retention and of the own-file rule's ages.
  time_t (*wall_clock)();

  // Steps a test may stop at; null (the default) for none.
  // At each AppendStep of a piece, with its bytes.
  void (*append_step)(AppendStep step, const char* data, size_t len);
  // Between a rotation's move of the live file and the open of its
  // successor, with the log's directory and leaf.
  void (*after_move_aside)(int dir_fd, const char* leaf);
  // Before a retention pass unlinks a file, after its last check.
  void (*before_unlink)(int dir_fd, const char* name);
};

// The system's own calls, no steps.
extern const SysCalls kSystemCalls;

// The table the engine calls through: kSystemCalls unless a test changed
// it. Not synchronised: change it only while no log thread runs.
extern SysCalls sys;

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_SYS_CALLS_H
