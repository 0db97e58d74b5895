// Opening the parameter file, and the process's privilege, for the
// configuration reader. Internal: nothing here is exported.
#ifndef QELLOG_SRC_CONFIG_PARAM_FILE_H
#define QELLOG_SRC_CONFIG_PARAM_FILE_H

#include <cstddef>
#include <cstdio>

namespace qellog {

// The largest parameter file that is read. A file of a few dozen keys is a
// few KiB; anything near this size is a mistake, and parsing it would cost
// memory and time in every program that sets up its log.
constexpr size_t kMaxParamFileBytes = 1 << 20;

// True when the process runs with elevated privileges: the kernel set
// AT_SECURE (setuid, setgid or file capabilities). Such a process trusts
// neither HOME nor files that another user could have written.
bool running_privileged();

// Test seams, null in normal use. `privilege_probe` replaces the AT_SECURE
// reading; `param_fd_observer` sees each parameter file descriptor right
// after its stream is made, before anything is read.
extern bool (*privilege_probe)();
extern void (*param_fd_observer)(int fd);

// Opens the parameter file `path` for reading, close-on-exec, as a stream
// that the caller closes with fclose(). Only a regular file of at most
// kMaxParamFileBytes is opened (EINVAL for anything else that is not a
// regular file, EFBIG for a larger one); a FIFO never blocks the open. In a
// privileged process the file
// must be named by an absolute path, must not be a symbolic link, and must
// be a regular file owned by the effective user or root that neither group
// nor others may write. Null (with errno set) when it cannot be opened or
// is refused.
FILE* open_param_file(const char* path);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_PARAM_FILE_H
