#include "fuzz_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {
namespace {

std::string g_scratch;

int remove_entry(const char* path, const struct stat*, int, struct FTW* ftw) {
  // Depth 0 is the directory being cleared; it stays.
  if (ftw->level > 0) std::remove(path);
  return 0;
}

void remove_scratch() {
  if (g_scratch.empty()) return;
  clear_dir(g_scratch);
  rmdir(g_scratch.c_str());
}

bool usable_parent(const char* dir) {
  return dir != nullptr && dir[0] == '/' && std::strchr(dir, '.') == nullptr &&
         access(dir, W_OK | X_OK) == 0;
}

int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

}  // namespace

const std::string& scratch_dir(const char* tag) {
  if (!g_scratch.empty()) return g_scratch;
  const char* parent = std::getenv("QELLOG_FUZZ_TMPDIR");
  if (!usable_parent(parent)) parent = "/dev/shm";
  if (!usable_parent(parent)) parent = std::getenv("TMPDIR");
  if (!usable_parent(parent)) parent = "/tmp";
  std::string templ = std::string(parent) + "/qellog_" + tag + "_XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    fail("mkdtemp(%s) failed: %s", templ.c_str(), std::strerror(errno));
  }
  // mkdtemp's letters never include '.', and the parent has none.
  g_scratch = templ;
  std::atexit(remove_scratch);
  return g_scratch;
}

void clear_dir(const std::string& dir) {
  nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool make_dirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool write_file(const std::string& path, const void* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1) return false;
  const bool ok = write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  return ok;
}

std::string read_file(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

InDir::InDir(const std::string& dir) {
  saved_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (saved_ == -1 || chdir(dir.c_str()) != 0) fail("cannot enter %s", dir.c_str());
}

InDir::~InDir() {
  if (fchdir(saved_) != 0) fail("cannot return from the scratch directory");
  close(saved_);
}

NoDescriptorLeak::NoDescriptorLeak() : before_(open_descriptors()) {}

NoDescriptorLeak::~NoDescriptorLeak() {
  const int after = open_descriptors();
  if (before_ != -1 && after > before_) {
    fail("%d descriptors open after the input, %d before", after, before_);
  }
}

void silence_stdout() {
  std::fflush(stdout);
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd == -1) return;
  dup2(fd, STDOUT_FILENO);
  close(fd);
}

void fail(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::fputs("fuzz property broken: ", stderr);
  std::vfprintf(stderr, fmt, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::abort();
}

uint8_t Reader::u8() { return pos_ < size_ ? data_[pos_++] : 0; }

uint16_t Reader::u16() {
  const uint16_t lo = u8();
  return static_cast<uint16_t>(lo | (u8() << 8));
}

uint32_t Reader::u32() {
  const uint32_t lo = u16();
  return lo | (static_cast<uint32_t>(u16()) << 16);
}

std::string Reader::bytes(size_t n) {
  if (n > remaining()) n = remaining();
  std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
  pos_ += n;
  return out;
}

}  // namespace fuzz
