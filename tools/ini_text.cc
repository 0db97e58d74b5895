// The tool's reader of [LOGGING] and its model of the set-up's path rules.
#include "ini_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "qellog/ini.h"

namespace qellog_tool {
namespace {

constexpr size_t kPathCapacity = 1024;
const char kDefaultLogDir[] = "/.qel/qel_logging/";

std::string trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  const size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool is_directory(const std::string& path) {
  if (DIR* d = opendir(path.c_str())) {
    closedir(d);
    return true;
  }
  return false;
}

// Whether mkdir(path) would succeed: the path is missing and its parent
// is a directory that this user may write.
bool could_make_dir(const std::string& path) {
  struct stat st;
  if (path.empty()) return false;
  if (lstat(path.c_str(), &st) == 0 || errno != ENOENT) return false;
  const size_t slash = path.find_last_of('/', path.size() - 2);
  const std::string parent =
      slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  return is_directory(parent) && access(parent.c_str(), W_OK | X_OK) == 0;
}

// A Logname without a usable directory: absolute as it is, relative in the
// default log directory.
void use_logname_alone(const std::string& logname, const std::string& home,
                       LogPlan* plan) {
  std::string path;
  if (logname[0] == '/') {
    path = logname;
    plan->rule = "Logname, an absolute path";
  } else {
    path = home.empty() ? "./" + logname : home + kDefaultLogDir + logname;
    plan->rule = "Logname in the default log directory";
  }
  if (path.size() < kPathCapacity) plan->path = path;
}

void choose_path(const std::vector<IniEntry>& entries, const std::string& name,
                 const std::string& home, LogPlan* plan) {
  std::string dir;
  if (const IniEntry* e = find_entry(entries, "Logpath")) {
    if (e->value.size() < kPathCapacity &&
        (is_directory(e->value) || could_make_dir(e->value))) {
      dir = e->value;
      plan->creates_dir = !is_directory(dir);
    }
  }
  const IniEntry* logname = find_entry(entries, "Logname");
  if (logname != nullptr && dir.empty()) {
    use_logname_alone(logname->value, home, plan);
  } else if (logname != nullptr &&
             dir.size() + 1 + logname->value.size() < kPathCapacity) {
    plan->path = dir + "/" + logname->value;
    plan->rule = "Logpath + Logname";
  } else if (!dir.empty() && dir.size() + name.size() + 5 < kPathCapacity) {
    plan->path = dir + "/" + name + ".log";
    plan->rule = "Logpath + the base name";
  }
  if (plan->path.empty()) {
    plan->path = home.empty() ? "./" + name + ".log"
                              : home + kDefaultLogDir + name + ".log";
    plan->rule = "the default name";
  }
}

}  // namespace

std::vector<IniEntry> logging_entries(const std::string& text) {
  std::vector<IniEntry> out;
  bool in_logging = false;
  int number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      in_logging = close != std::string::npos &&
                   same_key(trim(line.substr(1, close - 1)), "LOGGING");
      continue;
    }
    const size_t eq = line.find('=');
    if (!in_logging || eq == std::string::npos) continue;
    out.push_back({trim(line.substr(0, eq)), trim(line.substr(eq + 1)), number});
  }
  return out;
}

bool same_key(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const IniEntry* find_entry(const std::vector<IniEntry>& entries,
                           const char* key) {
  const IniEntry* found = nullptr;
  for (const IniEntry& e : entries) {
    if (same_key(e.key, key)) found = &e;  // a later line wins
  }
  return found;
}

int read_whole_file(const std::string& path, std::string* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  out->clear();
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      close(fd);
      return err;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

std::string home_text() {
  if (const char* home = std::getenv("HOME")) return home;
  const passwd* pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

bool param_file_of(const char* name, std::string* path) {
  char buf[1024];
  CQel_ini ini(name);
  if (ini.get_ini_filename(buf, sizeof buf) != INI_SUCCESS) {
    std::fprintf(stderr,
                 "qellog: the parameter file name of \"%s\" does not fit "
                 "1021 characters (is HOME too long?)\n",
                 name);
    return false;
  }
  *path = buf;
  return true;
}

LogPlan plan_log(const std::vector<IniEntry>& entries, const std::string& name,
                 const std::string& home) {
  LogPlan plan;
  choose_path(entries, name, home, &plan);
  plan.flags = O_WRONLY;
  if (const IniEntry* e = find_entry(entries, "LogFileFlags")) {
    if (strcasestr(e->value.c_str(), "TRUNC") != nullptr) plan.flags |= O_TRUNC;
    if (strcasestr(e->value.c_str(), "CREAT") != nullptr) plan.flags |= O_CREAT;
  }
  if (const IniEntry* e = find_entry(entries, "LogFilePermission")) {
    plan.mode = static_cast<unsigned>(std::strtoul(e->value.c_str(), nullptr, 0));
  }
  return plan;
}

}  // namespace qellog_tool
