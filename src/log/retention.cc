#include "log/retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "log/file_format.h"

namespace qellog {
namespace {

// Enough for the first line of either header with the longest file name,
// and the start of the second.
constexpr size_t kHeaderProbe = 1100;
constexpr unsigned long long kSecondsPerDay = 86400;

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

bool older_than_limit(time_t stamp, time_t now, unsigned long days) {
  if (days == 0 || stamp >= now) return false;
  if (days > ULLONG_MAX / kSecondsPerDay) return false;
  const unsigned long long age =
      static_cast<unsigned long long>(now) - static_cast<unsigned long long>(stamp);
  return age > days * kSecondsPerDay;
}

// Index of the first file that breaks a limit, or files.size(). `files` is
// sorted newest first; the newest is never the cut.
size_t find_cut(const std::vector<RotatedFile>& files,
                const RetentionLimits& limits, time_t now) {
  unsigned long long total = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    total += files[i].size;
    if (i == 0) continue;
    if ((limits.max_count != 0 && i + 1 > limits.max_count) ||
        (limits.max_total != 0 && total > limits.max_total) ||
        older_than_limit(files[i].stamp, now, limits.max_age_days)) {
      return i;
    }
  }
  return files.size();
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

// Reads up to `cap` bytes from the start of `fd`.
size_t read_prefix(int fd, char* buf, size_t cap) {
  size_t n = 0;
  while (n < cap) {
    const ssize_t got = pread(fd, buf + n, cap - n, static_cast<off_t>(n));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  return n;
}

// True when the file `st` describes still sits at `name` and begins with a
// header of the log `leaf`. The open never follows a link, never blocks on
// a FIFO swapped in since the stat, and never becomes a controlling tty.
bool has_header_of(int dir_fd, const char* name, const struct stat& st,
                   const char* leaf) {
  const int fd = openat(dir_fd, name,
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat opened;
  char buf[kHeaderProbe];
  size_t n = 0;
  const bool same = fstat(fd, &opened) == 0 && same_inode(opened, st) &&
                    S_ISREG(opened.st_mode);
  if (same) n = read_prefix(fd, buf, sizeof buf);
  close(fd);
  return same && begins_with_header_of(buf, n, leaf);
}

// Checks an entry whose name already matched; fills `st` on success.
bool is_own_rotated_file(int dir_fd, const char* name, const LeafParts& parts,
                         const struct stat* live, struct stat* st) {
  if (fstatat(dir_fd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(st->st_mode) || st->st_uid != geteuid()) return false;
  if (live != nullptr && same_inode(*st, *live)) return false;
  return has_header_of(dir_fd, name, *st, parts.leaf);
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

// Lists the log's rotated files. False, with errno, when the directory
// cannot be read.
bool collect_rotated_files(int dir_fd, const LeafParts& parts, time_t now,
                           std::vector<RotatedFile>* out) {
  struct stat live;
  // The live name is followed: what matters is the file the log writes to.
  const bool have_live = fstatat(dir_fd, parts.leaf, &live, 0) == 0;
  DirStream dir = open_dir_stream(dir_fd);
  if (!dir) return false;
  while (const dirent* e = readdir(dir.get())) {
    RotatedStamp stamp;
    struct stat st;
    if (!parse_rotated_name(e->d_name, parts.stem, parts.ext, &stamp)) continue;
    if (!is_own_rotated_file(dir_fd, e->d_name, parts,
                             have_live ? &live : nullptr, &st)) {
      continue;
    }
    out->push_back(RotatedFile{e->d_name, stamp.key(), local_time_of(stamp),
                               static_cast<unsigned long long>(st.st_size),
                               st.st_mtim.tv_sec > now - kYoungSeconds,
                               st.st_dev, st.st_ino});
  }
  return true;
}

// Unlinks the chosen files, each only while its name still holds the file
// that was checked.
int remove_files(int dir_fd, const std::vector<RotatedFile>& files,
                 const std::vector<size_t>& doomed, RetentionReport& report) {
  int removed = 0;
  for (size_t i : doomed) {
    const char* name = files[i].name.c_str();
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_dev != files[i].dev || st.st_ino != files[i].ino) continue;
    if (unlinkat(dir_fd, name, 0) == 0) {
      ++removed;
      report.removed(name);
    } else if (errno != ENOENT) {  // ENOENT: another pass got there first
      report.failed(name, errno);
    }
  }
  return removed;
}

}  // namespace

std::vector<size_t> files_to_remove(std::vector<RotatedFile>* files,
                                    const RetentionLimits& limits, time_t now) {
  std::stable_sort(files->begin(), files->end(),
                   [](const RotatedFile& a, const RotatedFile& b) {
                     return a.key > b.key;
                   });
  const size_t cut = find_cut(*files, limits, now);
  std::vector<size_t> doomed;
  for (size_t i = files->size(); i > cut && doomed.size() < kMaxRemovalsPerPass;
       --i) {
    if (!(*files)[i - 1].young) doomed.push_back(i - 1);
  }
  return doomed;
}

int prune_rotated_files(int dir_fd, const char* live_leaf,
                        const RetentionLimits& limits, time_t now,
                        RetentionReport& report) {
  if (!limits.any()) return 0;
  LeafParts parts;
  parts.leaf = live_leaf;
  size_t dir_len = 0;
  if (!split_last_component(live_leaf, &dir_len, parts.stem, sizeof parts.stem,
                            parts.ext, sizeof parts.ext) ||
      dir_len != 0 || parts.stem[0] == '\0') {
    return 0;
  }
  try {
    std::vector<RotatedFile> files;
    if (!collect_rotated_files(dir_fd, parts, now, &files)) {
      report.failed(".", errno);
      return 0;
    }
    const std::vector<size_t> doomed = files_to_remove(&files, limits, now);
    return remove_files(dir_fd, files, doomed, report);
  } catch (const std::bad_alloc&) {
    report.failed(".", ENOMEM);
    return 0;
  }
}

}  // namespace qellog
