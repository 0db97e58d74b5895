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
constexpr size_t kMaxRemovalsPerPass = 256;
constexpr size_t kMaxHeadReadsPerPass = 1024;
// Files modified this recently count toward the limits but are never
// removed, unless this process rotated them itself: another process still
// logging through a descriptor of a file renamed away under it may be
// writing into it.
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

// A file whose head an earlier pass read.
struct VerifiedFile {
  long long key;  // RotatedStamp::key() of its name
  dev_t dev;
  ino_t ino;
  bool own;  // it begins with the log's header
};

// What passes of one log remember, kept by the caller between them.
struct RetentionMemory {
  // Files this process rotated itself: never held back as young while
  // they hold exactly the bytes this process wrote into them. A file that
  // another process also had open holds at least that one's header.
  std::vector<KnownFile> made_here;
  // Files whose head was read: the log's own count without a read (but
  // are read again before removal), the others are passed over. Sorted by
  // key.
  std::vector<VerifiedFile> verified;
};

// One of the log's rotated files, as the policy sees it. A pass fills in
// the fields after `key` and `future` only for the files the policy asks
// about (see OwnershipCheck).
struct RotatedFile {
  std::string name;         // directory entry
  long long key;            // RotatedStamp::key(): orders files as time does
  time_t stamp;             // the name's stamp read as local time
  unsigned long long size;  // st_size
  bool young;               // modified within the last kYoungSeconds
  dev_t dev;                // identity, checked again before unlinking
  ino_t ino;
  bool future = false;     // stamped more than kFutureToleranceSeconds ahead
  bool made_here = false;  // rotated by this process: never `young`
};

// Whether a file is the log's own, as the policy asks it of the caller,
// who fills in the file's stamp, size, young flag and identity first.
// kUnknown: the pass may not find out (its budget is spent); the policy
// stops there and leaves the rest to a later pass. For a young file asked
// about for removal, kOwn may be said without looking further.
enum class Ownership { kOwn, kNotOwn, kUnknown };
using OwnershipCheck = std::function<Ownership(RotatedFile&, bool for_removal)>;

// The policy. Sorts `files` newest first (files with a believable stamp by
// key, then those stamped in the future, by key: a clock that ran ahead
// never pushes out the newest real files, and their age is not judged) and
// returns the indexes (into the sorted vector) of the files to remove,
// oldest first, at most kMaxRemovalsPerPass of them. The newest file is
// always kept. Walking from the newest, the first file that makes the
// count exceed max_count, the total size exceed max_total, or whose stamp
// is more than max_age_days * 86400 s before `now` is the cut: it and
// every older file are removed, except young ones, which still count
// toward the limits. `check` (null: every file is the log's own) is asked
// about each file the walk reaches, newest first up to the cut, then
// oldest first for removal; a file that is not the log's own is neither
// counted nor removed.
std::vector<size_t> files_to_remove(std::vector<RotatedFile>* files, const RetentionLimits& limits,
                                    time_t now, const OwnershipCheck& check = nullptr);

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_RETENTION_POLICY_H
