#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qellog_test {
namespace {

void remove_tree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      remove_tree(path + "/" + e->d_name);
    }
    closedir(dir);
    chmod(path.c_str(), 0700);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qellog_test_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_value_ = old != nullptr;
  if (had_value_) old_value_ = old;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_value_) {
    setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  char buf[4096];
  if (getcwd(buf, sizeof buf) == nullptr) throw std::runtime_error("getcwd failed");
  old_ = buf;
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScopedCwd::~ScopedCwd() {
  if (chdir(old_.c_str()) != 0) std::abort();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string read_fd(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool set_mtime(const std::string& path, time_t t) {
  const timespec times[2] = {{t, 0}, {t, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

unsigned long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long>(st.st_size) : 0;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The library obeys a parameter file only when nobody but its user and
// root can change it: the modes are set here, whatever the test's umask.
std::string param_file(const std::string& home, const std::string& name) {
  mkdir(home.c_str(), 0755);
  for (const std::string& dir : {home + "/.config", home + "/.config/qel"}) {
    mkdir(dir.c_str(), 0755);
    chmod(dir.c_str(), 0755);
  }
  return home + "/.config/qel/" + name + "_param.ini";
}

std::string write_param_file(const std::string& home, const std::string& name,
                             const std::string& text) {
  const std::string path = param_file(home, name);
  write_file(path, text);
  chmod(path.c_str(), 0644);
  return path;
}

std::string log_params(const std::string& dir, const std::string& logname,
                       const std::string& more) {
  return "[LOGGING]\nLogpath=" + dir + "\nLogname=" + logname + "\nLogFileFlags=O_CREAT\n" + more;
}

bool ends_with_trailer(const std::string& log) {
  const std::string trailer =
      "\r\nLogging ended at 99.99.9999 99:99.99 \r\n" + std::string(72, '-') + "\r\n\r\n\r\n";
  return log.size() >= trailer.size() && shape(log.substr(log.size() - trailer.size())) == trailer;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.push_back(e->d_name);
    }
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> split_crlf(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t pos = text.find(end, start);
    if (pos == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, pos - start));
    start = pos + end.size();
  }
  return lines;
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

OneByteReader start_one_byte_reader() {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  char c;
  if (pid == 0) _exit(read(fds[0], &c, 1) == 1 ? 0 : 1);
  close(fds[0]);
  return {pid, fds[1]};
}

ChildResult run_in_child(const std::function<int()>& body) {
  ChildResult result;
  char out_tmpl[] = "/tmp/qellog_child_out_XXXXXX";
  char err_tmpl[] = "/tmp/qellog_child_err_XXXXXX";
  const int out_fd = mkstemp(out_tmpl);
  const int err_fd = mkstemp(err_tmpl);
  unlink(out_tmpl);
  unlink(err_tmpl);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    int code = body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(out_fd, 0, SEEK_SET);
  lseek(err_fd, 0, SEEK_SET);
  result.out = read_fd(out_fd);
  result.err = read_fd(err_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

uid_t nobody_uid() {
  const passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 65534;
}

gid_t nobody_gid() {
  const passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_gid : 65534;
}

ChildResult run_as_nobody(const std::function<int()>& body) {
  const uid_t uid = nobody_uid();
  const gid_t gid = nobody_gid();
  return run_in_child([&] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 79;
    return body();
  });
}

std::vector<int> run_children(int n, const std::function<int(int)>& body) {
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body(i));
    pids.push_back(pid);
  }
  std::vector<int> statuses;
  for (const pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return statuses;
}

std::string shape(std::string s) {
  for (char& c : s) {
    if (c >= '0' && c <= '9') c = '9';
  }
  return s;
}

namespace {
bool g_leak_check_off = false;
}  // namespace

void exit_forked_child(int code) {
  g_leak_check_off = true;
  std::exit(code);
}

}  // namespace qellog_test

// Asked by LeakSanitizer at exit; an unsanitized build never calls it.
extern "C" int __lsan_is_turned_off() { return qellog_test::g_leak_check_off ? 1 : 0; }
