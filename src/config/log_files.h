// The files of one log as the library names and treats them: its rotated
// predecessors beside the live file, whether the live name may be rotated,
// and whether a symbolic link at the live name is followed.
#ifndef QELLOG_SRC_CONFIG_LOG_FILES_H
#define QELLOG_SRC_CONFIG_LOG_FILES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// others_may_plant(), the rule for the live name's directory.
#include "log/dir_walk.h"

namespace qellog {

struct RotatedLogFile {
  std::string path;
  long long key;  // the stamp in the name; orders the files as time does
  dev_t dev;
  ino_t ino;
  off_t size;
};

// The rotated files of the live file `live_path`, oldest first: the names
// that are exactly the live name's stem + a rotation stamp + its extension
// (parse_rotated_name), so another log's files in the same directory never
// count. Only regular files count; a symbolic link is never followed.
// Empty when the directory cannot be read. Blocks on directory reads.
std::vector<RotatedLogFile> list_rotated_files(const std::string& live_path);

// The own-file rule, for rotation by size or time, tail-safe rotation,
// reopening and the tool's check: true when the live name `leaf` in the
// directory `dir_fd` is a regular file itself, judged without following a
// symbolic link, which they may move aside or replace. False for a symlink
// (whatever it points to), a device, a FIFO or a socket, and with errno
// ENOENT for a missing name: none of these is ever renamed, replaced or
// removed.
bool live_name_rotatable(int dir_fd, const char* leaf);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_LOG_FILES_H
