// `qellog --show NAME [--follow]`: the log across its rotated files,
// oldest first, then the live file; following it as `tail -F` does.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "dry_run.h"
#include "log/log_files.h"
#include "log/rotated_files.h"
#include "say.h"
#include "show_filter.h"

namespace qellog_tool {
namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop(int) { g_stop = 1; }

// How much of the start of a followed file is kept to tell that it was
// truncated and written anew: the first line of its header.
constexpr size_t kHeadBytes = 64;

void sleep_ms(long ms) {
  const timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);  // a stop signal ends it early
}

// A log file opened for reading as the library writes it: through a
// symbolic link only with `follow_link` and where nobody else could have
// planted one, never blocking on a FIFO, and only a regular file (EINVAL
// for anything else).
int open_log_file(const std::string& path, struct stat* st, bool follow_link) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  const int dir_fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return -1;
  struct stat dir_st;
  const bool nofollow =
      !follow_link || fstat(dir_fd, &dir_st) != 0 || qellog::others_may_plant(dir_st);
  const int fd = openat(dir_fd, leaf.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (nofollow ? O_NOFOLLOW : 0));
  close(dir_fd);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Follows one log: `fd_` is the file being read; every rotated file after
// `done_` in the log's order (qellog::newer_rotated()) still has to be
// shown.
class Follower {
 public:
  Follower(const std::string& live, bool no_headers, bool escape)
      : live_(live), printer_(no_headers, live, escape) {}
  ~Follower() {
    if (fd_ >= 0) close(fd_);
  }

  // Shows what is new: the current file's growth and, once the live name
  // names another file, the rest of the old one, the rotated files that
  // came since, and the new live file.
  void step() {
    if (fd_ >= 0) {
      if (truncated()) start_over();
      read_from(fd_);
      remember_head();
    }
    if (fd_ < 0 || live_moved()) switch_files();
  }
  void finish() { printer_.finish(); }
  bool found_any() const { return found_; }
  // Set once the live name held something other than a regular file.
  bool live_refused() const { return refused_; }

 private:
  size_t read_from(int fd);
  bool truncated() const;
  void start_over();
  void remember_head();
  bool live_moved() const;
  void drain_old();
  void switch_files();
  void show_rotated(const std::string& path);
  // True when `f` comes after the last file shown.
  bool is_new(const qellog::RotatedFile& f) const {
    return !shown_any_ || qellog::newer_rotated(f, done_);
  }
  void done_with(const qellog::RotatedFile& f) {
    done_ = f;
    shown_any_ = true;
  }

  std::string live_;
  LinePrinter printer_;
  int fd_ = -1;
  struct stat cur_ {};
  qellog::RotatedFile done_{};
  bool shown_any_ = false;
  // The first bytes of the current file, up to kHeadBytes: a file that
  // no longer begins with them was truncated in place and written anew.
  std::string head_;
  bool found_ = false;
  bool refused_ = false;
};

// Reads `fd` to its end; the number of bytes shown.
size_t Follower::read_from(int fd) {
  char buf[65536];
  size_t total = 0;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return total;
    printer_.feed(buf, static_cast<size_t>(n));
    total += static_cast<size_t>(n);
  }
}

// The current file was truncated in place (logrotate's copytruncate): it
// is shorter than what was read of it, or, grown again since, no longer
// begins as it did.
bool Follower::truncated() const {
  struct stat st;
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  if (fstat(fd_, &st) != 0 || at < 0) return false;
  if (st.st_size < at) return true;
  if (head_.empty()) return false;
  char now[kHeadBytes];
  const ssize_t n = pread(fd_, now, head_.size(), 0);
  return n >= 0 && head_.compare(0, head_.size(), now, static_cast<size_t>(n)) != 0;
}

// As `tail -F` does: says so and reads the file again from its start.
void Follower::start_over() {
  std::fprintf(stderr, "qellog: %s: file truncated\n", live_.c_str());
  printer_.end_file();
  lseek(fd_, 0, SEEK_SET);
  head_.clear();
}

void Follower::remember_head() {
  if (head_.size() == kHeadBytes) return;
  char buf[kHeadBytes];
  const ssize_t n = pread(fd_, buf, sizeof buf, 0);
  if (n > 0) head_.assign(buf, static_cast<size_t>(n));
}

bool Follower::live_moved() const {
  struct stat st;
  return stat(live_.c_str(), &st) != 0 || !qellog::same_inode(st, cur_);
}

// A writer that took the old descriptor just before the rotation may still
// append to the old file: read it until it has been quiet for 100 ms (at
// most one second).
void Follower::drain_old() {
  int quiet = 0;
  for (int i = 0; i < 20 && quiet < 2; ++i) {
    sleep_ms(50);
    quiet = read_from(fd_) == 0 ? quiet + 1 : 0;
  }
  printer_.end_file();
}

void Follower::switch_files() {
  struct stat old = cur_;
  const bool had_old = fd_ >= 0;
  if (had_old) {
    drain_old();
    close(fd_);
  }
  fd_ = open_log_file(live_, &cur_, true);
  head_.clear();
  if (fd_ < 0 && errno == EINVAL) refused_ = true;
  std::string dir;
  std::vector<qellog::RotatedFile> others;
  const std::vector<qellog::RotatedFile> files =
      qellog::rotated_files_of_path(live_, &dir, &others);
  // In the generations layout the file just opened has a rotated name of
  // its own, listed as the live file; one born after it (a rotation under
  // way) is shown after it.
  const qellog::RotatedFile* opened = nullptr;
  for (const qellog::RotatedFile& o : others) {
    if (fd_ >= 0 && o.ino == cur_.st_ino && o.dev == cur_.st_dev) opened = &o;
  }
  for (const qellog::RotatedFile& f : files) {
    if (!is_new(f)) continue;
    if (had_old && f.ino == old.st_ino && f.dev == old.st_dev) {
      done_with(f);  // shown already, through the old descriptor
      continue;
    }
    // The file just opened was moved aside meanwhile; what follows it is
    // shown after it.
    if (fd_ >= 0 && f.ino == cur_.st_ino && f.dev == cur_.st_dev) break;
    if (opened != nullptr && !qellog::newer_rotated(*opened, f)) break;
    show_rotated(dir + f.name);
    done_with(f);
  }
  if (fd_ >= 0) {
    found_ = true;
    read_from(fd_);
    remember_head();
  }
}

void Follower::show_rotated(const std::string& path) {
  struct stat st;
  const int fd = open_log_file(path, &st, false);
  if (fd < 0) return;  // removed meanwhile
  found_ = true;
  read_from(fd);
  close(fd);
  printer_.end_file();
}

void catch_stop() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// The live log file: the path given, or the one the set-up of NAME picks
// (run dry). False, with the reason on stderr, when there is none.
bool live_path_of(const char* target, std::string* live) {
  if (std::strchr(target, '/') != nullptr) {
    *live = target;
    return true;
  }
  std::string param;
  if (!param_file_of(target, &param)) return false;
  qellog::PathRefusal refused;
  if (const int err = param_file_errno(param, &refused)) {
    say(stderr, "qellog: cannot read the parameter file %s: %s", param.c_str(),
        param_problem(err, refused).c_str());
    return false;
  }
  const DryRun run = dry_run(target);
  if (!run.built) {
    say(stderr, "qellog: the set-up builds no log from %s", param.c_str());
    return false;
  }
  *live = run.path;
  return true;
}

}  // namespace

int show_log(const char* target, bool no_headers, bool follow, bool raw) {
  std::string live;
  if (!live_path_of(target, &live)) return kExitNoLog;
  if (follow) catch_stop();
  Follower f(live, no_headers, !raw && isatty(STDOUT_FILENO) == 1);
  f.step();
  // A rotation between the listing and the open shows up here.
  f.step();
  while (follow && g_stop == 0) {
    std::fflush(stdout);
    sleep_ms(100);
    f.step();
  }
  f.finish();
  if (std::fflush(stdout) != 0) return kExitNoLog;
  if (f.live_refused()) {
    say(stderr, "qellog: %s is not a regular file; not shown", live.c_str());
  }
  if (f.found_any()) return kExitOk;
  say(stderr, "qellog: no log file %s and no rotated files", live.c_str());
  return kExitNoLog;
}

}  // namespace qellog_tool
