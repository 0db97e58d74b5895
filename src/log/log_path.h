// Where a log's file lives and how it is opened: the directory is held
// open, so that rotation acts there whatever the host's working directory
// becomes, and the file is never reached through a symlink that another
// user could have planted.
#ifndef QELLOG_SRC_LOG_LOG_PATH_H
#define QELLOG_SRC_LOG_LOG_PATH_H

#include <sys/stat.h>
#include <time.h>

#include "log/dir_walk.h"
#include "log/log_state.h"

namespace qellog {

// The public names of a log file: "dir/run.trace.log" => ("dir/run.trace",
// ".log"). The last '.' anywhere counts, also in a directory part; a tail
// longer than 10 characters is no extension.
void split_file_name(const char* name, char (&base)[1024], char (&ext)[11]);

// Where a log file lives: its directory, open (open_name_directory), and
// the file's name there, also split for rotated names.
struct LogPlace {
  int dir_fd = -1;
  bool shared = false;  // others may add names there (LogState::nofollow)
  char leaf[1024] = {};
  char stem[1024] = {};
  char ext[16] = {};
};

// Opens the directory of `filename` into `place`. False (errno set) when
// the directory cannot be opened or a part does not fit; a refused link
// fills `why`.
bool open_place(const char* filename, LogPlace* place, PathRefusal* why);

// The same into s.dir_fd, s.leaf, s.stem, s.ext and s.nofollow.
bool open_log_directory(const char* filename, LogState& s, PathRefusal* why);

// What the file open as `fd`, under the live name `leaf` in `dir_fd`, is
// to the log: `fixed` when the file or the name is not a regular file that
// rotation may act on (a name that is gone or holds another regular file
// was rotated since the open by another process logging to it), `no_sync`
// when the file has no storage to sync, `sigpipe` when it is a pipe or a
// socket. It holds for as long as the log writes to that file, through
// its rotations: a rotation only ever moves a regular file.
struct LiveTarget {
  bool fixed = false;
  bool no_sync = false;
  bool sigpipe = false;
};
LiveTarget judge_target(int dir_fd, const char* leaf, int fd);

// After the constructor's open of `fd`: judge_target() into
// s.fixed_target, s.no_sync and s.sigpipe.
void judge_live_target(LogState& s, int fd);

// True when `st` (of a name of the log's) may become, or be moved as, the
// log's file: a regular file, and in a directory where others may plant
// names one owned by the effective user.
bool may_take(const LogState& s, const struct stat& st);

// What the live name holds, compared with the open file `fd`.
enum class LiveName {
  kOpenFile,    // the file the log writes to
  kMissing,     // nothing (errno ENOENT)
  kOwn,         // another file the log may take or move (may_take)
  kNotRegular,  // refused: a symlink, a device, a FIFO, a socket
  kForeign,     // refused: a regular file of another user
  kUnknown,     // it could not be looked at (errno set)
};
LiveName look_at_live_name(const LogState& s, int fd);

// Opens the live name for a rotation's new file without ever following a
// symlink or truncating: creates it with the log's mode, or, when another
// process made a file there meanwhile, appends to it (its bytes land in
// `*prior`) when may_take() allows. -1 with errno EINVAL for anything but
// a regular file, EPERM for another user's file (refusals of the own-file
// rule), or the open's errno. `*created` tells whether this call made the
// file. The file is marked as a live file (mark_live_file()).
int open_fresh_file(const LogState& s, bool* created, unsigned long* prior);

// Begins the new current file open as `fd` with its continuation header
// for the calendar time `cal` (with the host's texts as they stand), its
// first piece, before any writer can reach it. On failure reports the
// write, removes the file when this rotation created it as `created_leaf`
// (null: it was there before), closes `fd` and returns false with errno
// set: a file without its header never becomes the log's file.
bool begin_file(CQel_Log& log, LogState& s, int fd, const struct tm& cal, const char* created_leaf,
                size_t* header_len);

// When the file open as `fd` (the live name's) began, at the wall clock
// reading `now`: its birth time where the file system records one,
// otherwise the time of the header it begins with; a header time ahead of
// `now` is not believed, the file's last change is taken instead (or
// `now`, when that is ahead too). A file without a header began `now`,
// when this process first saw it.
time_t file_began(const LogState& s, int fd, time_t now);

// When the file open as `fd`, which held `prior` bytes when the log took
// it, began for time rotation: now (sys.wall_clock()) for a new file, and
// file_began() for a file that another run or process began.
time_t file_start_time(const LogState& s, int fd, unsigned long prior);

// The size of the regular file open as `fd`, 0 for anything else.
unsigned long regular_file_size(int fd);

// renameat2(RENAME_NOREPLACE) of two names in the log's directory; where
// the file system cannot refuse to replace, a test before the rename.
int rename_noreplace(const LogState& s, const char* from, const char* to);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOG_PATH_H
