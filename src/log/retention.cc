// Retention passes over a log's directory: the log's rotated files as the
// listing (rotated_files.cc) knows them, and their removal as the policy
// (retention_policy.cc) decides, within bounded budgets.
#include "log/retention.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "log/log_files.h"
#include "log/rotated_files.h"
#include "log/sys_calls.h"

namespace qellog {

namespace {

// A pass with memory: a crowded directory takes several passes to sweep,
// and none of them keeps the flush thread long.
constexpr ListingBudget kPassBudget{kMaxEntriesPerPass, kMaxLooksPerPass, kMaxHeadReadsPerPass};
// Without memory nothing carries over to a next pass: it sweeps the whole
// directory.
constexpr ListingBudget kLonePassBudget{SIZE_MAX, SIZE_MAX, kMaxHeadReadsPerPass};

// Answers the policy's questions about the listed files it reaches: for
// counting, the file's size now; before removal, whether it is still the
// log's own and whether it is held.
class PassChecks {
 public:
  PassChecks(int dir_fd, const char* leaf, time_t now, const std::vector<KnownFile>& made_here)
      : dir_fd_(dir_fd), leaf_(leaf), now_(now), made_here_(made_here) {}

  Ownership check(RotatedFile& f, bool for_removal) {
    if (!for_removal) return refresh(f) ? Ownership::kOwn : Ownership::kNotOwn;
    if (probes_ == kMaxHeadReadsPerPass) return Ownership::kUnknown;
    ++probes_;
    return probe(f);
  }
  // Listed files that are gone or no longer the file listed.
  const std::vector<std::string>& stale() const { return stale_; }

 private:
  bool refresh(RotatedFile& f) {
    struct stat st;
    if (sys.fstatat(dir_fd_, f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != f.dev ||
        st.st_ino != f.ino) {
      stale_.push_back(f.name);
      return false;
    }
    f.size = static_cast<unsigned long long>(st.st_size);
    f.mtime = st.st_mtim.tv_sec;
    return true;
  }

  // A file still written by another process is held. Where that cannot be
  // told, a file modified within the last minute is held too, unless this
  // process rotated it and it holds only the bytes this process wrote.
  Ownership probe(RotatedFile& f) {
    const int fd = open_to_look(dir_fd_, f.name.c_str(), f.dev, f.ino);
    struct stat st;
    if (fd < 0 || sys.fstat(fd, &st) != 0) {
      if (fd >= 0) sys.close(fd);
      stale_.push_back(f.name);
      return Ownership::kNotOwn;
    }
    f.size = static_cast<unsigned long long>(st.st_size);
    f.made_here = only_made_here(made_here_, f);
    const bool own = f.made_here || begins_with_own_header(fd, leaf_);
    const Writers writers = live_writers(fd);
    sys.close(fd);
    const bool young = st.st_mtim.tv_sec > now_ - kYoungSeconds;
    f.held = writers == Writers::kSome || (writers == Writers::kUnknown && young && !f.made_here);
    return own ? Ownership::kOwn : Ownership::kNotOwn;
  }

  const int dir_fd_;
  const char* const leaf_;
  const time_t now_;
  const std::vector<KnownFile>& made_here_;
  std::vector<std::string> stale_;
  size_t probes_ = 0;
};

// Unlinks the chosen files, each holding its exclusive lock, so that no
// log takes it as its live file meanwhile, and only while its name still
// holds the file that was checked, at the size it had: a file that grew
// since is still being written and waits for a later pass.
int remove_files(int dir_fd, const std::vector<RotatedFile>& files,
                 const std::vector<size_t>& doomed, RetentionReport& report,
                 RotatedListing* listing) {
  int count = 0;
  for (size_t i : doomed) {
    const RotatedFile& f = files[i];
    const char* name = f.name.c_str();
    const int fd = open_to_look(dir_fd, name, f.dev, f.ino);
    if (fd < 0) continue;
    struct stat st;
    if (live_writers(fd, true) != Writers::kSome &&
        sys.fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == f.dev &&
        st.st_ino == f.ino && static_cast<unsigned long long>(st.st_size) == f.size) {
      if (sys.before_unlink != nullptr) sys.before_unlink(dir_fd, name);
      if (sys.unlinkat(dir_fd, name, 0) == 0) {
        ++count;
        report.removed(name);
        listing->forget(f.name);
      } else if (errno != ENOENT) {  // ENOENT: another pass got there first
        report.failed(name, errno);
      }
    }
    sys.close(fd);
  }
  return count;
}

}  // namespace

int prune_rotated_files(int dir_fd, const char* live_leaf, const RetentionLimits& limits,
                        time_t now, RetentionReport& report, RetentionMemory* memory) {
  if (!limits.any()) return 0;
  try {
    RetentionMemory lone;
    RetentionMemory& m = memory != nullptr ? *memory : lone;
    RotatedListing listing(dir_fd, live_leaf, geteuid(), m.listing);
    if (!listing.valid()) return 0;
    if (!listing.step(memory != nullptr ? kPassBudget : kLonePassBudget, now, m.made_here)) {
      report.failed(".", errno);
      return 0;
    }
    std::vector<RotatedFile> files = listing.own_files(now);
    PassChecks checks(dir_fd, live_leaf, now, m.made_here);
    const std::vector<size_t> doomed = files_to_remove(
        &files, limits, now,
        [&checks](RotatedFile& f, bool for_removal) { return checks.check(f, for_removal); });
    const int count = remove_files(dir_fd, files, doomed, report, &listing);
    for (const std::string& name : checks.stale()) listing.forget(name);
    if (memory != nullptr) memory->last_pass = listing.work();
    return count;
  } catch (const std::bad_alloc&) {
    report.failed(".", ENOMEM);
    return 0;
  }
}

}  // namespace qellog
