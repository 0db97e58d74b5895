// Which of a log's rotated files the retention limits remove: the order of
// the files and the walk from the newest, with no I/O of its own.
#include "log/retention_policy.h"

#include <algorithm>
#include <climits>

namespace qellog {
namespace {

constexpr unsigned long long kSecondsPerDay = 86400;
constexpr size_t kNoCut = static_cast<size_t>(-1);

bool older_than_limit(time_t stamp, time_t now, unsigned long days) {
  if (days == 0 || stamp >= now) return false;
  if (days > ULLONG_MAX / kSecondsPerDay) return false;
  const unsigned long long age =
      static_cast<unsigned long long>(now) - static_cast<unsigned long long>(stamp);
  return age > days * kSecondsPerDay;
}

// Whether the file after `i` (newest first) began less than `hold`
// seconds before `now`.
bool successor_young(const std::vector<RotatedFile>& files, size_t i, time_t now,
                     unsigned long hold) {
  if (hold == 0 || i == 0) return false;
  const time_t began = files[i - 1].stamp;
  return began >= now || static_cast<unsigned long>(now - began) < hold;
}

Ownership ask(const OwnershipCheck& check, RotatedFile& f, bool for_removal) {
  return check ? check(f, for_removal) : Ownership::kOwn;
}

// Index of the first own file that breaks a limit, files.size() when none
// does, kNoCut when the walk could not learn enough. `files` is sorted
// newest first; the newest own file is never the cut.
size_t find_cut(std::vector<RotatedFile>& files, const RetentionLimits& limits, time_t now,
                const OwnershipCheck& check) {
  unsigned long long total = 0;
  unsigned long kept = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const Ownership own = ask(check, files[i], false);
    if (own == Ownership::kUnknown) return kNoCut;
    if (own == Ownership::kNotOwn) continue;
    total += files[i].size;
    if (++kept == 1) continue;
    if ((limits.max_count != 0 && kept > limits.max_count) ||
        (limits.max_total != 0 && total > limits.max_total) ||
        (!files[i].future && older_than_limit(files[i].stamp, now, limits.max_age_days))) {
      return i;
    }
  }
  return files.size();
}

}  // namespace

std::vector<size_t> files_to_remove(std::vector<RotatedFile>* files, const RetentionLimits& limits,
                                    time_t now, const OwnershipCheck& check) {
  std::stable_sort(files->begin(), files->end(), newer_rotated);
  std::vector<size_t> doomed;
  const size_t cut = find_cut(*files, limits, now, check);
  if (cut == kNoCut) return doomed;
  // The oldest go first, so that a backlog shrinks from its old end.
  for (size_t i = files->size(); i > cut && doomed.size() < kMaxRemovalsPerPass; --i) {
    RotatedFile& f = (*files)[i - 1];
    const Ownership own = ask(check, f, true);
    if (own == Ownership::kUnknown) break;
    if (own == Ownership::kOwn && !f.held &&
        !successor_young(*files, i - 1, now, limits.hold_seconds)) {
      doomed.push_back(i - 1);
    }
  }
  return doomed;
}

}  // namespace qellog
