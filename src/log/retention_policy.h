// Retention's policy: which of a log's rotated files the limits on count,
// total size and age remove, decided over plain lists, and what passes
// remember between them. Pure: no I/O, no clock. Internal to the library.
#ifndef QELLOG_SRC_LOG_RETENTION_POLICY_H
#define QELLOG_SRC_LOG_RETENTION_POLICY_H

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qellog {

// A pass unlinks at most this many files, and reads the head of at most
// kMaxHeadReadsPerPass; a larger backlog shrinks over the following passes.
// It reads on through at most kMaxEntriesPerPass directory entries and
// looks at at most kMaxLooksPerPass names it has not met before (one
// fstatat each): a crowded directory takes several passes to sweep.
constexpr size_t kMaxRemovalsPerPass = 256;
constexpr size_t kMaxHeadReadsPerPass = 1024;
constexpr size_t kMaxEntriesPerPass = 8192;
constexpr size_t kMaxLooksPerPass = 2048;
// Where it cannot be told whether another process still writes into a
// file (log_files.h, live_writers()), a file modified this recently counts
// toward the limits but is not removed, unless this process rotated it
// itself: another process still logging through a descriptor of a file
// renamed away under it may be writing into it.
constexpr time_t kYoungSeconds = 60;
// A name stamped further ahead of the clock than this comes from a clock
// that ran ahead (a change of daylight-saving time or two hosts' clocks a
// little apart stay within it): its stamp is not believed.
constexpr time_t kFutureToleranceSeconds = 2 * 3600;

// Each limit is off when 0.
struct RetentionLimits {
  unsigned long max_count;     // rotated files kept
  unsigned long max_total;     // bytes (st_size) of the rotated files kept
  unsigned long max_age_days;  // age of a file's stamp, in days of 86400 s
  // Not a limit: a file is kept while the file after it (whose stamp is
  // when the file left the live name, in the generations layout) is
  // younger than this many seconds. 0: no hold.
  unsigned long hold_seconds = 0;

  bool any() const { return max_count != 0 || max_total != 0 || max_age_days != 0; }
};

// A file known by its name in the log's directory and its identity.
struct KnownFile {
  std::string name;
  dev_t dev;
  ino_t ino;
  time_t when;                  // when it became known
  unsigned long long size = 0;  // made_here: the bytes this process wrote into it
};

// Where a name under the log's rotated-name pattern stands.
enum class Standing : unsigned char {
  kUnjudged,    // a regular file of the log's owner whose head is still to be read
  kOwn,         // one of the log's rotated files
  kOtherLog,    // a regular file of the log's owner without a header of this log
  kNotRegular,  // a symbolic link, a directory, a FIFO, a socket or a device
  kOtherOwner,  // a regular file of another user
  kLiveFile,    // the live file itself, under a second name
};

// One of the log's rotated files, or a name under their pattern, as a
// listing (rotated_files.h) and the policy see it. The fields after
// `future` are the file's facts at the last look.
struct RotatedFile {
  std::string name;         // directory entry
  long long key;            // RotatedStamp::key(): orders files as time does
  time_t stamp;             // the name's stamp read as local time
  unsigned long long size;  // st_size
  bool held;                // still written (see files_to_remove): never removed
  dev_t dev;                // identity, checked again before unlinking
  ino_t ino;
  bool future = false;     // stamped more than kFutureToleranceSeconds ahead
  bool made_here = false;  // rotated by this process, holding only its bytes
  Standing standing = Standing::kUnjudged;
  time_t mtime = 0;
};

// The order of a log's history, newest first: files with a believable
// stamp by key, then those stamped in the future, by key. A stamp from a
// clock that ran ahead says nothing about when the file was made, and
// never pushes out the newest real files. Retention and every reader of
// the files use this order, the readers from its end.
inline bool newer_rotated(const RotatedFile& a, const RotatedFile& b) {
  if (a.future != b.future) return b.future;
  return a.key > b.key;
}

// A directory entry by its inode and a hash of its name: enough to pass
// over a name that was judged before without looking at it again.
struct EntryTag {
  ino_t ino;
  unsigned long long name_hash;
  bool operator<(const EntryTag& o) const {
    return ino != o.ino ? ino < o.ino : name_hash < o.name_hash;
  }
  bool operator==(const EntryTag& o) const { return ino == o.ino && name_hash == o.name_hash; }
};

// What a listing of one log's rotated names remembers from one step to
// the next, kept by the caller (rotated_files.h). A sweep reads the whole
// directory, over as many steps as it takes.
struct ListingMemory {
  struct Listed {
    RotatedFile file;
    unsigned sweep;  // the last sweep that met it
  };
  // The pattern's regular files of the log's owner, sorted by name.
  std::vector<Listed> files;
  // Names passed over for their type or owner, sorted, with a mark for
  // each that the sweep under way met again; those it meets for the first
  // time. A sweep's end keeps what it met.
  std::vector<EntryTag> passed_over;
  std::vector<bool> passed_over_met;
  std::vector<EntryTag> passed_over_new;
  long resume = 0;     // where the sweep under way reads on (telldir()); 0: from the start
  unsigned sweep = 1;  // the sweep under way
};

// What one step of a listing did.
struct ListingWork {
  size_t entries = 0;  // directory entries read
  size_t looks = 0;    // names looked at (one fstatat each)
  size_t heads = 0;    // heads read
  bool swept = false;  // a sweep of the whole directory ended in it
};

// What passes of one log remember, kept by the caller between them.
struct RetentionMemory {
  // Files this process rotated itself: never held back as young while
  // they hold exactly the bytes this process wrote into them. A file that
  // another process also had open holds at least that one's header.
  std::vector<KnownFile> made_here;
  // The listing of the log's rotated names, and what its step in the
  // last pass did.
  ListingMemory listing;
  ListingWork last_pass;
};

// Whether a file is the log's own, as the policy asks it of the caller,
// who fills in the file's stamp, size and identity first, and for a file
// asked about for removal, whether it is held. kUnknown: the pass may not
// find out (its budget is spent); the policy stops there and leaves the
// rest to a later pass.
enum class Ownership { kOwn, kNotOwn, kUnknown };
using OwnershipCheck = std::function<Ownership(RotatedFile&, bool for_removal)>;

// The policy. Sorts `files` newest first (newer_rotated(); the age of a
// file stamped in the future is not judged) and returns the indexes (into
// the sorted vector) of the files to remove, oldest first, at most
// kMaxRemovalsPerPass of them. The newest file is always kept. Walking
// from the newest, the first file that makes the count exceed max_count,
// the total size exceed max_total, or whose stamp is more than
// max_age_days * 86400 s before `now` is the cut: it and every older file
// are removed, except held ones (another process may still write into
// them, or the file after them is younger than hold_seconds), which still
// count toward the limits. `check` (null: every file is the log's own) is asked
// about each file the walk reaches, newest first up to the cut, then
// oldest first for removal; a file that is not the log's own is neither
// counted nor removed.
std::vector<size_t> files_to_remove(std::vector<RotatedFile>* files, const RetentionLimits& limits,
                                    time_t now, const OwnershipCheck& check = nullptr);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_RETENTION_POLICY_H
