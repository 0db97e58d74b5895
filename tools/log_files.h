// The files of one log: its rotated predecessors beside the live file,
// found by the exact rotated-name pattern, so another log's files in the
// same directory are never mixed in.
#ifndef QELLOG_TOOLS_LOG_FILES_H
#define QELLOG_TOOLS_LOG_FILES_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qellog_tool {

struct RotatedFile {
  std::string path;
  long long key;  // the stamp in the name; orders the files as time does
  dev_t dev;
  ino_t ino;
  off_t size;
};

// The rotated files of the live file `live_path`, oldest first. Only
// regular files count (a symbolic link is never followed). Empty when the
// directory cannot be read.
std::vector<RotatedFile> rotated_files(const std::string& live_path);

}  // namespace qellog_tool

#endif  // QELLOG_TOOLS_LOG_FILES_H
