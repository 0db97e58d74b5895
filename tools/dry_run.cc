// Running the set-up against a copy of the parameter file.
#include "dry_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ini_text.h"
#include "qellog/ini.h"

namespace qellog_tool {
namespace {

// Later keys of a section win, so this section overrides the user's three
// path keys and keeps every other one.
const char kToNowhere[] =
    "\n[LOGGING]\nLogpath=/dev\nLogname=null\nLogFileFlags=O_WRONLY\n";

bool write_new_file(const std::string& path, const std::string& text) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  return close(fd) == 0 && off == text.size();
}

// The message lines of the trace log, without the value field.
std::vector<std::string> trace_lines(const std::string& log) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find("\r\n", pos);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(pos, end - pos);
    pos = end + 2;
    if (line.size() > 9 && line[8] == ' ' &&
        std::all_of(line.begin(), line.begin() + 8,
                    [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
      out.push_back(line.substr(9));
    }
  }
  return out;
}

void read_back(CQel_Log* log, Readback* b) {
  b->logbits = log->get_logbits();
  b->flushcount = log->get_flushcount();
  b->maxfilesize = log->get_maxfilesize();
  b->flush_thread = log->flush_thread.joinable();
  b->maxfilecount = log->get_maxfilecount();
  b->maxtotalsize = log->get_maxtotalsize();
  b->maxfileage = log->get_maxfileage();
  b->lostlines = log->get_lostlines();
  b->reopen = log->get_reopen();
  b->reopeninterval = log->get_reopeninterval();
  b->rotatetime = log->get_rotatetime();
  b->tailsafe = log->get_tailsafe();
}

// HOME set to `home` for the object's lifetime.
class HomeSwap {
 public:
  explicit HomeSwap(const std::string& home) {
    const char* old = std::getenv("HOME");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("HOME", home.c_str(), 1);
  }
  ~HomeSwap() {
    if (had_) {
      setenv("HOME", old_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  bool had_;
  std::string old_;
};

// Runs the set-up with HOME at `home`, whose parameter file is in place.
bool run_reader(const char* name, const std::string& home,
                const std::string& trace_path, Readback* back) {
  std::unique_ptr<CQel_Log> trace(
      new CQel_Log(trace_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  trace->set_logbits(LOGBIT_ERROR | LOGBIT_INFO);
  CQel_ini ini(name);
  ini.set_ini_log(trace.get());
  std::unique_ptr<CQel_Log> log;
  {
    HomeSwap swap(home);
    log.reset(ini.create_log_from_ini());
  }
  if (log != nullptr) read_back(log.get(), back);
  return log != nullptr;
}

std::string temp_root() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] == '/' ? dir : "/tmp";
}

}  // namespace

bool dry_run_setup(const char* name, const std::string& param_text,
                   std::vector<std::string>* trace, Readback* back) {
  std::string tmpl = temp_root() + "/qellog_check_XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) {
    trace->push_back(std::string("cannot make a temporary directory: ") +
                     std::strerror(errno));
    return false;
  }
  const std::string home = tmpl, qel = home + "/.config/qel";
  const std::string param = qel + "/" + name + "_param.ini";
  const std::string trace_path = home + "/trace.log";
  bool ran = false;
  if (mkdir((home + "/.config").c_str(), 0700) == 0 &&
      mkdir(qel.c_str(), 0700) == 0 &&
      write_new_file(param, param_text + kToNowhere)) {
    ran = run_reader(name, home, trace_path, back);
    std::string log;
    read_whole_file(trace_path, &log);
    *trace = trace_lines(log);
  }
  unlink(trace_path.c_str());
  unlink(param.c_str());
  rmdir(qel.c_str());
  rmdir((home + "/.config").c_str());
  rmdir(home.c_str());
  return ran;
}

}  // namespace qellog_tool
