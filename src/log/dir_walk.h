// Resolving a path one component at a time, so that no symbolic link that
// another user could have planted is ever followed: the kernel's
// protected_symlinks rule for sticky directories, applied in user space to
// every directory where other users may add names, whatever the sysctl
// says. The log's directory and the parameter file are reached this way.
#ifndef QELLOG_SRC_LOG_DIR_WALK_H
#define QELLOG_SRC_LOG_DIR_WALK_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include "log/log_files.h"

namespace qellog {

// The link `link`, found in the directory `dir`, may be followed: always
// where only the effective user and root add names (others_may_plant()), and elsewhere only a
// link of the effective user, or one of root's in a directory of root's.
bool may_follow_link(const struct stat& dir, const struct stat& link);

// Nobody but the effective user and root can change what `dir` holds: it
// is theirs, and group and others may not write it unless it is sticky
// (they may add names there, never replace or remove those of others).
bool trusted_directory(const struct stat& dir);

// What a walk refused, for the one line that says so: the link, directory
// or file (as the walk reached it), its owner and mode, and why, to follow
// "is" ("a symbolic link that another user may have planted").
struct PathRefusal {
  char path[1024] = {};
  uid_t owner = 0;
  mode_t mode = 0;
  const char* reason = nullptr;  // null: nothing was refused
};

// Fills `why` from `st` of `path` (cut to fit).
void refuse_path(PathRefusal* why, const char* path, const struct stat& st, const char* reason);

enum class WalkRule {
  kPlantedLinks,  // no link that another user may have planted
  kTrustedChain,  // that, and every directory passed is trusted_directory()
};

struct DirWalk {
  WalkRule rule = WalkRule::kPlantedLinks;
  // The path's own last component is created (mkdirat, `mkdir_mode`) when
  // it is missing, never a component inside a link's target.
  bool create_last = false;
  unsigned mkdir_mode = 0775;
  // 0 after a successful mkdirat, -1 when the path could not be made a
  // directory (a mkdir(2) of it would fail too); -2 when nothing was tried.
  int mkdir_result = -2;
  PathRefusal refusal;
};

// Opens the directory `path`, relative to `at` (AT_FDCWD or a directory)
// unless absolute, as O_PATH | O_DIRECTORY | O_CLOEXEC, one component at a
// time, following links only as may_follow_link() allows (40 at most).
// -1 with errno set when it fails; a refusal fills walk->refusal (ELOOP for
// a link, EACCES for a directory the rule does not trust). Never blocks and
// never opens anything but directories and links.
int walk_directory(int at, const char* path, DirWalk* walk);

// For the file `path`: opens its directory as walk_directory() does and
// puts the file's name in it into `leaf` (`cap` bytes). With
// `follow_leaf`, a link at the leaf is followed under the same rule, and
// `leaf` is the final name in the directory returned.
int walk_to_file(int at, const char* path, bool follow_leaf, DirWalk* walk, char* leaf, size_t cap);

// "<path> (uid U, mode 0M) is <reason>" into `buf` of `cap` bytes (cut to
// fit); the number of characters written.
size_t format_refusal(char* buf, size_t cap, const PathRefusal& why);

// Writes "<what> <name> refused: " and format_refusal() as one line on
// standard error, in one write; a closed pipe there raises no SIGPIPE.
void say_refusal(const char* what, const char* name, const PathRefusal& why);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_DIR_WALK_H
