// Retention passes over a log's directory: which entries are the log's own
// rotated files, and their removal as the policy (retention_policy.cc)
// decides, within a bounded budget of head reads and unlinks.
#include "log/retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "log/file_format.h"
#include "log/log_path.h"

namespace qellog {

void (*g_before_unlink)(int dir_fd, const char* name) = nullptr;

namespace {

// The live leaf and its split into the parts of a rotated name.
struct LeafParts {
  const char* leaf;
  char stem[1024];
  char ext[16];
};

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

time_t local_time_of(const RotatedStamp& s) {
  struct tm cal {};
  cal.tm_year = s.year - 1900;
  cal.tm_mon = s.month - 1;
  cal.tm_mday = s.day;
  cal.tm_hour = s.hour;
  cal.tm_min = s.minute;
  cal.tm_sec = s.second;
  cal.tm_isdst = -1;
  return mktime(&cal);
}

// The key a file stamped at local time `t` would have.
long long key_of(time_t t) {
  struct tm cal;
  localtime_r(&t, &cal);
  const RotatedStamp s{cal.tm_year + 1900, cal.tm_mon + 1, cal.tm_mday, cal.tm_hour,
                       cal.tm_min,         cal.tm_sec,     999};
  return s.key();
}

// A stream of its own over the caller's directory. The duplicate shares
// the caller's read position, which an earlier pass left at the end.
DirStream open_dir_stream(int dir_fd) {
  const int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  rewinddir(dir);
  return DirStream(dir);
}

// Lists the entries whose names are the log's rotated names, by the name
// alone: nothing else is looked at until the policy asks. False, with
// errno, when the directory cannot be read.
bool collect_rotated_names(int dir_fd, const LeafParts& parts, time_t now,
                           std::vector<RotatedFile>* out) {
  DirStream dir = open_dir_stream(dir_fd);
  if (!dir) return false;
  const long long future = key_of(now + kFutureToleranceSeconds);
  while (const dirent* e = readdir(dir.get())) {
    RotatedStamp stamp;
    if (!parse_rotated_name(e->d_name, parts.stem, parts.ext, &stamp)) continue;
    RotatedFile f{e->d_name, stamp.key(), 0, 0, false, 0, 0};
    f.future = f.key > future;
    out->push_back(std::move(f));
  }
  return true;
}

// Answers the policy's questions about the files it reaches. First the
// cheap checks (a regular file of the effective user, not the live file),
// which fill in the file's facts; then its head, read only when nothing
// else tells: a file this process rotated alone is its own, one an earlier
// pass verified counts without a read (but is read before it is removed).
class OwnershipReader {
 public:
  OwnershipReader(int dir_fd, const LeafParts& parts, time_t now,
                  const std::vector<RotatedFile>& files, const RetentionMemory* memory)
      : dir_fd_(dir_fd),
        parts_(parts),
        now_(now),
        files_(files),
        memory_(memory),
        state_(files.size(), kUnseen) {
    // The live name is followed: what matters is the file the log writes to.
    have_live_ = fstatat(dir_fd, parts.leaf, &live_, 0) == 0;
  }

  // Indexes files by their place in `files`, which the policy sorts before
  // it asks.
  Ownership check(RotatedFile& f, bool for_removal) {
    char& state = state_[static_cast<size_t>(&f - files_.data())];
    if (state == kUnseen) state = look(f) ? kCandidate : kRejected;
    if (state == kNotOwn || state == kRejected) return Ownership::kNotOwn;
    if (state == kOwn || f.made_here || (for_removal && f.young)) return Ownership::kOwn;
    const VerifiedFile* v = cached(f);
    if (v != nullptr && !v->own) return Ownership::kNotOwn;
    if (v != nullptr && !for_removal) return Ownership::kOwn;
    if (reads_ == kMaxHeadReadsPerPass) return Ownership::kUnknown;
    ++reads_;
    state =
        begins_with_own_header(dir_fd_, f.name.c_str(), f.dev, f.ino, parts_.leaf) ? kOwn : kNotOwn;
    return state == kOwn ? Ownership::kOwn : Ownership::kNotOwn;
  }

  // What the heads read so far said about the files still there, for the
  // next pass, sorted by key.
  std::vector<VerifiedFile> still_verified(const std::vector<bool>& removed) const {
    std::vector<VerifiedFile> out;
    for (size_t i = 0; i < files_.size(); ++i) {
      const RotatedFile& f = files_[i];
      const VerifiedFile* v = state_[i] == kUnseen ? cached_by_key(f.key) : cached(f);
      if (removed[i] || state_[i] == kRejected) continue;
      if (state_[i] == kOwn || state_[i] == kNotOwn) {
        out.push_back(VerifiedFile{f.key, f.dev, f.ino, state_[i] == kOwn});
      } else if (v != nullptr) {
        out.push_back(*v);
      }
    }
    std::sort(out.begin(), out.end(),
              [](const VerifiedFile& a, const VerifiedFile& b) { return a.key < b.key; });
    return out;
  }

 private:
  // kRejected: by the cheap checks; kOwn, kNotOwn: by its head.
  static constexpr char kUnseen = 0, kCandidate = 1, kOwn = 2, kNotOwn = 3, kRejected = 4;

  // The cheap checks; fills in the file's facts.
  bool look(RotatedFile& f) {
    struct stat st;
    if (fstatat(dir_fd_, f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
    if (have_live_ && same_inode(st, live_)) return false;
    RotatedStamp stamp;
    parse_rotated_name(f.name.c_str(), parts_.stem, parts_.ext, &stamp);
    f.stamp = local_time_of(stamp);
    f.size = static_cast<unsigned long long>(st.st_size);
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    const KnownFile* made = made_here(f);
    f.made_here = made != nullptr && made->size == f.size;
    f.young = st.st_mtim.tv_sec > now_ - kYoungSeconds && !f.made_here;
    return true;
  }
  const KnownFile* made_here(const RotatedFile& f) const {
    if (memory_ == nullptr) return nullptr;
    for (const KnownFile& k : memory_->made_here) {
      if (k.dev == f.dev && k.ino == f.ino && k.name == f.name) return &k;
    }
    return nullptr;
  }
  const VerifiedFile* cached_by_key(long long key) const {
    if (memory_ == nullptr) return nullptr;
    const std::vector<VerifiedFile>& v = memory_->verified;
    auto it = std::lower_bound(v.begin(), v.end(), key,
                               [](const VerifiedFile& a, long long k) { return a.key < k; });
    return it != v.end() && it->key == key ? &*it : nullptr;
  }
  // The earlier pass's word on `f`, when it was about this very file.
  const VerifiedFile* cached(const RotatedFile& f) const {
    const VerifiedFile* v = cached_by_key(f.key);
    return v != nullptr && v->dev == f.dev && v->ino == f.ino ? v : nullptr;
  }

  const int dir_fd_;
  const LeafParts& parts_;
  const time_t now_;
  const std::vector<RotatedFile>& files_;
  const RetentionMemory* const memory_;
  std::vector<char> state_;
  struct stat live_ {};
  bool have_live_ = false;
  size_t reads_ = 0;
};

// Unlinks the chosen files, each only while its name still holds the file
// that was checked, at the size it had: a file that grew since is still
// being written (another process has it open as its live file) and waits
// for a later pass. Marks them in `removed`.
int remove_files(int dir_fd, const std::vector<RotatedFile>& files,
                 const std::vector<size_t>& doomed, RetentionReport& report,
                 std::vector<bool>* removed) {
  int count = 0;
  for (size_t i : doomed) {
    const char* name = files[i].name.c_str();
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_dev != files[i].dev || st.st_ino != files[i].ino) continue;
    if (static_cast<unsigned long long>(st.st_size) != files[i].size) continue;
    if (g_before_unlink != nullptr) g_before_unlink(dir_fd, name);
    if (unlinkat(dir_fd, name, 0) == 0) {
      ++count;
      (*removed)[i] = true;
      report.removed(name);
    } else if (errno != ENOENT) {  // ENOENT: another pass got there first
      report.failed(name, errno);
    }
  }
  return count;
}

}  // namespace

int prune_rotated_files(int dir_fd, const char* live_leaf, const RetentionLimits& limits,
                        time_t now, RetentionReport& report, RetentionMemory* memory) {
  if (!limits.any()) return 0;
  LeafParts parts;
  parts.leaf = live_leaf;
  size_t dir_len = 0;
  if (!split_last_component(live_leaf, &dir_len, parts.stem, sizeof parts.stem, parts.ext,
                            sizeof parts.ext) ||
      dir_len != 0 || parts.stem[0] == '\0') {
    return 0;
  }
  try {
    std::vector<RotatedFile> files;
    if (!collect_rotated_names(dir_fd, parts, now, &files)) {
      report.failed(".", errno);
      return 0;
    }
    OwnershipReader reader(dir_fd, parts, now, files, memory);
    const std::vector<size_t> doomed = files_to_remove(
        &files, limits, now,
        [&reader](RotatedFile& f, bool for_removal) { return reader.check(f, for_removal); });
    std::vector<bool> removed(files.size(), false);
    const int count = remove_files(dir_fd, files, doomed, report, &removed);
    if (memory != nullptr) memory->verified = reader.still_verified(removed);
    return count;
  } catch (const std::bad_alloc&) {
    report.failed(".", ENOMEM);
    return 0;
  }
}

}  // namespace qellog
