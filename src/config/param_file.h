// Opening the parameter file, and the process's privilege, for the
// configuration reader. Internal: nothing here is exported.
#ifndef QELLOG_SRC_CONFIG_PARAM_FILE_H
#define QELLOG_SRC_CONFIG_PARAM_FILE_H

#include <cstddef>
#include <cstdio>

#include "log/dir_walk.h"

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
// regular file, EFBIG for a larger one); a FIFO never blocks the open.
//
// A file that another user could have written is not obeyed, in any
// process: it must be owned by the effective user or root and writable by
// neither group nor others, every directory on its path must be owned by
// one of them and not writable by group or others unless sticky, and no
// link on the way may be one that another user could have planted
// (log/dir_walk.h). In a privileged process the file must moreover be
// named by an absolute path and not be a symbolic link. Null (with errno
// set) when it cannot be opened or is refused; a refusal (EACCES, or ELOOP
// for a link) fills `why` when given.
FILE* open_param_file(const char* path, PathRefusal* why = nullptr);

}  // namespace qellog

#endif  // QELLOG_SRC_CONFIG_PARAM_FILE_H
