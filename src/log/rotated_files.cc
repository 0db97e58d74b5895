// Listing a log's rotated files: the sweep through the directory, what it
// remembers between steps, and the judgement of each name.
#include "log/rotated_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "log/calendar.h"
#include "log/file_format.h"
#include "log/log_files.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

// Beyond this many names passed over, the others are looked at again in
// every sweep: still within each step's budget, in bounded memory.
constexpr size_t kMaxPassedOver = size_t{1} << 18;

struct DirCloser {
  void operator()(DIR* d) const { sys.closedir(d); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// A stream of its own over the caller's directory, at `resume` (0: the
// start). The duplicate would otherwise go on from where the caller's
// descriptor last stood.
DirStream open_dir_stream(int dir_fd, long resume) {
  const int fd = sys.fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  DIR* dir = sys.fdopendir(fd);
  if (dir == nullptr) {
    const int saved = errno;
    sys.close(fd);
    errno = saved;
    return nullptr;
  }
  if (resume != 0) {
    seekdir(dir, resume);
  } else {
    rewinddir(dir);
  }
  return DirStream(dir);
}

// FNV-1a.
unsigned long long name_hash(const char* name) {
  unsigned long long h = 14695981039346656037ull;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
    h = (h ^ *p) * 1099511628211ull;
  }
  return h;
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
  return local_mktime(&cal);
}

// The key above which a stamp is not believed at `now`.
long long future_key(time_t now) {
  const time_t t = now + kFutureToleranceSeconds;
  struct tm cal;
  localtime_r(&t, &cal);
  const RotatedStamp s{cal.tm_year + 1900, cal.tm_mon + 1, cal.tm_mday, cal.tm_hour,
                       cal.tm_min,         cal.tm_sec,     999};
  return s.key();
}

bool by_name(const ListingMemory::Listed& a, const ListingMemory::Listed& b) {
  return a.file.name < b.file.name;
}

// The first entry of the sorted `files` whose name is not below `name`.
std::vector<ListingMemory::Listed>::iterator lower_bound_name(
    std::vector<ListingMemory::Listed>& files, const char* name) {
  return std::lower_bound(
      files.begin(), files.end(), name,
      [](const ListingMemory::Listed& l, const char* n) { return l.file.name.compare(n) < 0; });
}

void sort_oldest_first(std::vector<RotatedFile>* files, time_t now) {
  const long long ahead = future_key(now);
  for (RotatedFile& f : *files) f.future = f.key > ahead;
  std::sort(files->begin(), files->end(),
            [](const RotatedFile& a, const RotatedFile& b) { return newer_rotated(b, a); });
}

}  // namespace

RotatedListing::RotatedListing(int dir_fd, const char* leaf, uid_t owner, ListingMemory& memory)
    : dir_fd_(dir_fd), leaf_(leaf), owner_(owner), m_(memory) {
  size_t dir_len = 0;
  valid_ = split_last_component(leaf, &dir_len, stem_, sizeof stem_, ext_, sizeof ext_) &&
           dir_len == 0 && stem_[0] != '\0';
}

bool RotatedListing::step(const ListingBudget& budget, time_t now,
                          const std::vector<KnownFile>& made_here,
                          std::vector<RotatedFile>* others) {
  work_ = ListingWork();
  if (!valid_) return true;
  // The live name is followed: what matters is the file the log writes to.
  have_live_ = sys.fstatat(dir_fd_, leaf_, &live_, 0) == 0;
  std::vector<Listed> found;
  if (!read_on(budget, &found, others)) return false;
  add_made_here(made_here, &found);
  merge(&found);
  judge_heads(budget.heads, now, made_here, others);
  return true;
}

bool RotatedListing::read_on(const ListingBudget& budget, std::vector<Listed>* found,
                             std::vector<RotatedFile>* others) {
  DirStream dir = open_dir_stream(dir_fd_, m_.resume);
  if (!dir) return false;
  while (work_.entries < budget.entries && work_.looks < budget.looks) {
    errno = 0;
    const dirent* e = sys.readdir(dir.get());
    if (e == nullptr) {
      if (errno != 0) return false;
      end_sweep();
      return true;
    }
    ++work_.entries;
    m_.resume = telldir(dir.get());
    meet(e->d_name, e->d_ino, found, others);
  }
  return true;
}

// One directory entry: passed over when it is not of the pattern or was
// passed over before, marked as met when it is listed, looked at otherwise.
void RotatedListing::meet(const char* name, ino_t ino, std::vector<Listed>* found,
                          std::vector<RotatedFile>* others) {
  RotatedStamp stamp;
  if (!parse_rotated_name(name, stem_, ext_, &stamp)) return;
  const EntryTag tag{ino, name_hash(name)};
  if (passed_over(tag)) return;
  Listed* listed = find(name);
  if (listed != nullptr && listed->file.ino == ino) {
    listed->sweep = m_.sweep;
    return;
  }
  // New, or another file under a listed name: a found entry replaces it.
  ++work_.looks;
  RotatedFile f{name, stamp.key(), local_time_of(stamp), 0, false, 0, 0};
  if (!look(name, &f)) return;  // gone meanwhile
  if (f.standing == Standing::kUnjudged) {
    found->push_back(Listed{f, m_.sweep});
    return;
  }
  // The live file under a second name is looked at again in each sweep:
  // once the log rotates, it is a rotated file like the others.
  if (f.standing != Standing::kLiveFile) pass_over(tag);
  if (others != nullptr) others->push_back(f);
}

// The cheap checks, by one fstatat: type, owner, not the live file.
bool RotatedListing::look(const char* name, RotatedFile* f) const {
  struct stat st;
  if (sys.fstatat(dir_fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  f->size = static_cast<unsigned long long>(st.st_size);
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  f->mtime = st.st_mtim.tv_sec;
  if (!S_ISREG(st.st_mode)) {
    f->standing = Standing::kNotRegular;
  } else if (st.st_uid != owner_) {
    f->standing = Standing::kOtherOwner;
  } else if (have_live_ && same_inode(st, live_)) {
    f->standing = Standing::kLiveFile;
  } else {
    f->standing = Standing::kUnjudged;
  }
  return true;
}

bool RotatedListing::passed_over(const EntryTag& tag) {
  const auto it = std::lower_bound(m_.passed_over.begin(), m_.passed_over.end(), tag);
  if (it == m_.passed_over.end() || !(*it == tag)) return false;
  m_.passed_over_met[static_cast<size_t>(it - m_.passed_over.begin())] = true;
  return true;
}

void RotatedListing::pass_over(const EntryTag& tag) {
  if (m_.passed_over.size() + m_.passed_over_new.size() < kMaxPassedOver) {
    m_.passed_over_new.push_back(tag);
  }
}

// What the sweep did not meet is gone (or renamed): forgotten.
void RotatedListing::end_sweep() {
  std::vector<EntryTag> kept;
  kept.reserve(m_.passed_over.size());
  for (size_t i = 0; i < m_.passed_over.size(); ++i) {
    if (m_.passed_over_met[i]) kept.push_back(m_.passed_over[i]);
  }
  std::sort(m_.passed_over_new.begin(), m_.passed_over_new.end());
  std::vector<EntryTag> merged;
  merged.reserve(kept.size() + m_.passed_over_new.size());
  std::merge(kept.begin(), kept.end(), m_.passed_over_new.begin(), m_.passed_over_new.end(),
             std::back_inserter(merged));
  merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
  m_.passed_over.swap(merged);
  m_.passed_over_met.assign(m_.passed_over.size(), false);
  m_.passed_over_new.clear();
  const unsigned ended = m_.sweep;
  m_.files.erase(std::remove_if(m_.files.begin(), m_.files.end(),
                                [ended](const Listed& l) { return l.sweep != ended; }),
                 m_.files.end());
  ++m_.sweep;
  m_.resume = 0;
  work_.swept = true;
}

// This process's own rotations count at once, wherever the sweep stands.
void RotatedListing::add_made_here(const std::vector<KnownFile>& made_here,
                                   std::vector<Listed>* found) const {
  for (const KnownFile& k : made_here) {
    RotatedStamp stamp;
    if (!parse_rotated_name(k.name.c_str(), stem_, ext_, &stamp)) continue;
    const auto it = lower_bound_name(m_.files, k.name.c_str());
    if (it != m_.files.end() && it->file.name == k.name && it->file.ino == k.ino) continue;
    RotatedFile f{k.name, stamp.key(), local_time_of(stamp), 0, false, 0, 0};
    if (look(k.name.c_str(), &f) && f.standing == Standing::kUnjudged && f.dev == k.dev &&
        f.ino == k.ino) {
      found->push_back(Listed{f, m_.sweep});
    }
  }
}

// Puts the files found into the sorted list; one found under a listed name
// replaces the entry.
void RotatedListing::merge(std::vector<Listed>* found) {
  if (found->empty()) return;
  std::stable_sort(found->begin(), found->end(), by_name);
  found->erase(
      std::unique(found->begin(), found->end(),
                  [](const Listed& a, const Listed& b) { return a.file.name == b.file.name; }),
      found->end());
  std::vector<Listed> merged;
  merged.reserve(m_.files.size() + found->size());
  auto old = m_.files.begin();
  for (Listed& f : *found) {
    for (; old != m_.files.end() && old->file.name < f.file.name; ++old) merged.push_back(*old);
    if (old != m_.files.end() && old->file.name == f.file.name) ++old;
    merged.push_back(std::move(f));
  }
  merged.insert(merged.end(), old, m_.files.end());
  m_.files.swap(merged);
}

// The heads of files not judged yet, newest first: the newest decide what
// a limit keeps.
void RotatedListing::judge_heads(size_t budget, time_t now, const std::vector<KnownFile>& made_here,
                                 std::vector<RotatedFile>* others) {
  const long long ahead = future_key(now);
  std::vector<Listed*> todo;
  for (Listed& l : m_.files) {
    if (l.file.standing != Standing::kUnjudged) continue;
    l.file.future = l.file.key > ahead;
    todo.push_back(&l);
  }
  std::sort(todo.begin(), todo.end(),
            [](const Listed* a, const Listed* b) { return newer_rotated(a->file, b->file); });
  for (Listed* l : todo) {
    RotatedFile& f = l->file;
    if (only_made_here(made_here, f)) {
      f.standing = Standing::kOwn;
      continue;
    }
    if (work_.heads >= budget) continue;
    ++work_.heads;
    const bool own = begins_with_own_header(dir_fd_, f.name.c_str(), f.dev, f.ino, leaf_);
    f.standing = own ? Standing::kOwn : Standing::kOtherLog;
    if (!own && others != nullptr) others->push_back(f);
  }
}

ListingMemory::Listed* RotatedListing::find(const char* name) {
  const auto it = lower_bound_name(m_.files, name);
  return it != m_.files.end() && it->file.name == name ? &*it : nullptr;
}

std::vector<RotatedFile> RotatedListing::own_files(time_t now) const {
  std::vector<RotatedFile> out;
  for (const Listed& l : m_.files) {
    if (l.file.standing == Standing::kOwn) out.push_back(l.file);
  }
  sort_oldest_first(&out, now);
  return out;
}

void RotatedListing::forget(const std::string& name) {
  if (Listed* l = find(name.c_str())) m_.files.erase(m_.files.begin() + (l - m_.files.data()));
}

std::vector<RotatedFile> rotated_files_of(int dir_fd, const char* leaf, uid_t owner, time_t now,
                                          std::vector<RotatedFile>* others) {
  ListingMemory memory;
  RotatedListing listing(dir_fd, leaf, owner, memory);
  if (!listing.step(kWholeListing, now, {}, others)) return {};
  if (others != nullptr) sort_oldest_first(others, now);
  return listing.own_files(now);
}

std::vector<RotatedFile> rotated_files_of_path(const std::string& live_path, std::string* dir_part,
                                               std::vector<RotatedFile>* others) {
  const size_t slash = live_path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : live_path.substr(0, slash + 1);
  if (dir_part != nullptr) *dir_part = dir;
  const int dir_fd =
      sys.open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir_fd < 0) return {};
  const std::string leaf = live_path.substr(dir.size());
  std::vector<RotatedFile> out = rotated_files_of(
      dir_fd, leaf.c_str(), log_owner(dir_fd, leaf.c_str()), sys.wall_clock(), others);
  sys.close(dir_fd);
  return out;
}

uid_t log_owner(int dir_fd, const char* leaf) {
  struct stat dir;
  const bool follow = sys.fstat(dir_fd, &dir) == 0 && !others_may_plant(dir);
  struct stat st;
  if (sys.fstatat(dir_fd, leaf, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode)) {
    return st.st_uid;
  }
  return geteuid();
}

bool only_made_here(const std::vector<KnownFile>& made_here, const RotatedFile& f) {
  for (const KnownFile& k : made_here) {
    if (k.dev == f.dev && k.ino == f.ino && k.name == f.name) return k.size == f.size;
  }
  return false;
}

const char* standing_text(Standing s) {
  switch (s) {
    case Standing::kOwn:
      return "this log's";
    case Standing::kOtherLog:
      return "no header of this log";
    case Standing::kNotRegular:
      return "not a regular file";
    case Standing::kOtherOwner:
      return "owned by another user";
    case Standing::kLiveFile:
      return "the live file under another name";
    default:
      return "not judged yet";
  }
}

}  // namespace qellog
