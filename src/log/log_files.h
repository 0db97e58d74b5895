// The files of one log as the library and the qellog tool judge them:
// whether the live name may be rotated, whether a symbolic link there is
// followed, whether a file begins with one of the log's headers, and
// whether any process still writes into a file as its live file. Built
// into the library and the tool alike.
#ifndef QELLOG_SRC_LOG_LOG_FILES_H
#define QELLOG_SRC_LOG_LOG_FILES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace qellog {

// The own-file rule, for rotation by size or time, tail-safe rotation,
// reopening and the tool's check: true when the live name `leaf` in the
// directory `dir_fd` is a regular file itself, judged without following a
// symbolic link, which they may move aside or replace. False for a symlink
// (whatever it points to), a device, a FIFO or a socket, and with errno
// ENOENT for a missing name: none of these is ever renamed, replaced or
// removed.
bool live_name_rotatable(int dir_fd, const char* leaf);

// True when the two stat results are of one file.
inline bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Another user can plant a symbolic link in a directory that is theirs or
// that others may write to (a sticky bit does not keep them from adding
// names): the log file is then never opened through a link. `dir` is the
// directory's stat.
bool others_may_plant(const struct stat& dir);

// Enough of a file's first bytes for the first line of either header with
// the longest file name, and the start of the second.
constexpr size_t kHeadProbe = 1100;

// Opens `name` in `dir_fd` for reading, only while it is the regular file
// of identity (dev, ino): never through a symlink, never blocking on a
// FIFO swapped in meanwhile, never taking a terminal. -1 otherwise.
int open_to_look(int dir_fd, const char* name, dev_t dev, ino_t ino);

// Up to `cap` of the first bytes of the file open as `fd`; how many.
size_t read_head(int fd, char* buf, size_t cap);

// The same for the file `name`, opened with open_to_look(); 0 when it
// cannot be.
size_t read_file_head(int dir_fd, const char* name, dev_t dev, ino_t ino, char* buf, size_t cap);

// True when the file open as `fd` begins with a start or continuation
// header of the log whose live file is `leaf`.
bool begins_with_own_header(int fd, const char* leaf);

// The same for the regular file `name` in `dir_fd`, still the file of
// identity (dev, ino).
bool begins_with_own_header(int dir_fd, const char* name, dev_t dev, ino_t ino, const char* leaf);

// --- Whether a file is still being written --------------------------------
// Every log holds a shared flock(2) lock on its live file, through the
// descriptor it writes with, for as long as it has it open: the lock goes
// with the last descriptor of that open file (a crashed process's too) and
// stays when the file is renamed away under the writer. A rotated file
// that some lock still holds is still somebody's live file.

// Marks the file open as `fd` as a log's live file. Never blocks; where
// the file system has no such locks, or an exclusive lock holds the file
// for a moment, the file is simply not marked.
void mark_live_file(int fd);

enum class Writers {
  kNone,     // no process has the file open as its live file
  kSome,     // at least one does
  kUnknown,  // no lock can be tested on this file (the file system, an error)
};

// Whether any process still writes into the file open as `fd` (opened by
// the caller for reading or writing) as its live file. Tests by taking
// the exclusive lock without waiting; with `keep` false it is given back
// at once, with `keep` true and kNone it is held until the caller closes
// `fd`, so that no log can mark the file meanwhile.
Writers live_writers(int fd, bool keep = false);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOG_FILES_H
