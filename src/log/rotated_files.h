// The rotated files of one log: the one rule for which names beside the
// live file are its rotated files, and in which order, for retention and
// for every reader of the log (the qellog tool's --where, --show and
// --follow). Built into the library and the tool alike.
#ifndef QELLOG_SRC_LOG_ROTATED_FILES_H
#define QELLOG_SRC_LOG_ROTATED_FILES_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/retention_policy.h"

namespace qellog {

// What one step of a listing may do at most.
struct ListingBudget {
  size_t entries;  // directory entries read
  size_t looks;    // names not met before, looked at (one fstatat each)
  size_t heads;    // heads read
};

// The whole directory in one step.
constexpr ListingBudget kWholeListing{SIZE_MAX, SIZE_MAX, SIZE_MAX};

// A name is one of the log's rotated files when it is exactly the live
// leaf's stem, a stamp (parse_rotated_name()) and its extension; the entry
// is a regular file (never followed through a symlink) of the log's owner
// and not the live file itself; and its first bytes are a start or
// continuation header of a file named like the live file. Nothing else is
// counted, shown or removed.
//
// The listing goes through the directory in sweeps of as many steps as
// their budgets need, and remembers what it judged (ListingMemory): a name
// passed over for its type or owner is known again by its inode and name
// without a look, a file of the owner keeps its standing, and a sweep's
// end forgets what it no longer met. A step's cost is bounded by its
// budget, whoever fills the directory.
class RotatedListing {
 public:
  // The log whose live file is `leaf` (a last path component without '/')
  // in the directory `dir_fd` (open for reading; it stays the caller's),
  // whose files are those of `owner`. `memory` carries what steps learn.
  RotatedListing(int dir_fd, const char* leaf, uid_t owner, ListingMemory& memory);

  // False when `leaf` has no rotated names (a part does not fit, or it has
  // no stem); the other calls then find nothing.
  bool valid() const { return valid_; }

  // One step within `budget`: reads on through the directory from where
  // the last step left it, looks at each name of the pattern not met
  // before, and reads the heads of the owner's files not judged yet, newest
  // first. A file of `made_here` (rotated by this process) that still
  // holds only the bytes this process wrote into it is the log's own
  // without a head read, and is listed even before the sweep comes to it.
  // `others` (may be null) receives the names that this step found not to
  // be the log's, with their standing. False, with errno, when the
  // directory cannot be read.
  bool step(const ListingBudget& budget, time_t now, const std::vector<KnownFile>& made_here,
            std::vector<RotatedFile>* others = nullptr);

  // The log's rotated files as far as the steps so far know them, oldest
  // first (the order of newer_rotated(), from its end), `future` judged
  // against `now`.
  std::vector<RotatedFile> own_files(time_t now) const;

  // Forgets `name` (a file that was removed, or is no longer the one listed).
  void forget(const std::string& name);

  const ListingWork& work() const { return work_; }

 private:
  using Listed = ListingMemory::Listed;

  bool read_on(const ListingBudget& budget, std::vector<Listed>* found,
               std::vector<RotatedFile>* others);
  void meet(const char* name, ino_t ino, std::vector<Listed>* found,
            std::vector<RotatedFile>* others);
  bool look(const char* name, RotatedFile* f) const;
  bool passed_over(const EntryTag& tag);
  void pass_over(const EntryTag& tag);
  void end_sweep();
  void add_made_here(const std::vector<KnownFile>& made_here, std::vector<Listed>* found) const;
  void merge(std::vector<Listed>* found);
  void judge_heads(size_t budget, time_t now, const std::vector<KnownFile>& made_here,
                   std::vector<RotatedFile>* others);
  Listed* find(const char* name);

  const int dir_fd_;
  const char* const leaf_;
  const uid_t owner_;
  ListingMemory& m_;
  char stem_[1024];
  char ext_[16];
  bool valid_ = false;
  struct stat live_ {};
  bool have_live_ = false;
  ListingWork work_;
};

// The rotated files of the log whose live file is `leaf` in `dir_fd`,
// those of `owner`, oldest first: one whole listing. `others` (may be
// null) receives the other names of the pattern with their standing, in
// the same order. Empty when the directory cannot be read.
std::vector<RotatedFile> rotated_files_of(int dir_fd, const char* leaf, uid_t owner, time_t now,
                                          std::vector<RotatedFile>* others = nullptr);

// The same for the live file at `live_path`, as a reader outside the
// writing process sees it: the directory opened by its path, log_owner()
// as the owner, the clock's time. Names stay last components; `dir_part`
// (may be null) receives what comes before the last one ("" or a path
// ending in '/').
std::vector<RotatedFile> rotated_files_of_path(const std::string& live_path, std::string* dir_part,
                                               std::vector<RotatedFile>* others = nullptr);

// Whose files a reader outside the writing process takes as the log's: the
// owner of the live file when it is a regular file (reached through a
// symlink only where nobody else could have planted it), otherwise the
// effective user.
uid_t log_owner(int dir_fd, const char* leaf);

// True when `f` is a file of `made_here` (by name and identity) that holds
// exactly the bytes this process wrote into it: nobody else wrote to it,
// before or since.
bool only_made_here(const std::vector<KnownFile>& made_here, const RotatedFile& f);

// Why a name of the pattern is or is not one of the log's rotated files,
// in words: "not a regular file", "owned by another user", ...
const char* standing_text(Standing s);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_ROTATED_FILES_H
