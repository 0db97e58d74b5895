// Helpers shared by the unit tests.
#ifndef QELLOG_TESTS_TEST_UTIL_H
#define QELLOG_TESTS_TEST_UTIL_H

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qellog_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable (or unsets it, with a null value) for the
// object's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_value_;
  std::string old_value_;
};

// Changes the working directory for the object's lifetime.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();

 private:
  std::string old_;
};

// Sets a test seam of the library (a function pointer or a table that
// stands in for a system call or a step) to `value` for the object's
// lifetime, and puts back what it held.
template <typename T>
class ScopedSeam {
 public:
  ScopedSeam(T& seam, T value) : seam_(seam), saved_(seam) { seam_ = value; }
  ~ScopedSeam() { seam_ = saved_; }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;

 private:
  T& seam_;
  T saved_;
};

// Sets the process's umask for the object's lifetime.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

std::string read_file(const std::string& path);
// What can be read from `fd` from where it stands until end of file (or, on
// a non-blocking descriptor, until nothing more is there).
std::string read_fd(int fd);
// The permission bits (07777) of `path`, 0 when it cannot be looked at.
mode_t mode_of(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Sets the access and modification times of `path` (a link's own, not its
// target's) to `t`; false when that fails.
bool set_mtime(const std::string& path, time_t t);
// The size of a file, 0 when it cannot be looked at.
unsigned long file_size(const std::string& path);
// How often `what` occurs in `text`, overlaps included.
size_t count_of(const std::string& text, const std::string& what);

// The parameter file of base name `name` under `home`,
// home/.config/qel/<name>_param.ini, with its directories made.
std::string param_file(const std::string& home, const std::string& name);
// Writes `text` as that file; returns its path.
std::string write_param_file(const std::string& home, const std::string& name,
                             const std::string& text);
// The [LOGGING] section of a log file `dir`/`logname`, created when
// missing, followed by the lines of `more`.
std::string log_params(const std::string& dir, const std::string& logname,
                       const std::string& more = "");
// True when `log` ends with an end trailer (its digits as any digits).
bool ends_with_trailer(const std::string& log);
// Names (not paths) of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& dir);
// The text with every digit replaced by '9', to compare dates by form.
std::string shape(std::string s);
// Splits at each `end` (CR LF unless given); a last piece without it is
// kept as it is.
std::vector<std::string> split_crlf(const std::string& text, const std::string& end = "\r\n");
// Calls `pred` until it holds or `timeout_ms` passed; returns its last result.
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 5000);

// Runs `body` in a forked child and returns its exit status (the exit code,
// or 128 + signal). Lets a test capture what the child writes to fd 1 and 2.
struct ChildResult {
  int status = -1;
  std::string out;
  std::string err;
};
ChildResult run_in_child(const std::function<int()>& body);
// Forks `n` children at once, child i ending with _exit(body(i)), and
// returns their exit statuses in order (as run_in_child's).
std::vector<int> run_children(int n, const std::function<int(int)>& body);

// A pipe whose reader, a forked child, reads one byte and exits: what is
// written after that byte meets a reader that went away. The caller closes
// `write_fd` and waits for `pid`.
struct OneByteReader {
  pid_t pid = -1;
  int write_fd = -1;
};
OneByteReader start_one_byte_reader();

// The tests' second user, nobody, by the password database's ids (65534
// when it has none).
uid_t nobody_uid();
gid_t nobody_gid();
// Runs `body` as run_in_child() does, in a child that has given up root
// for user nobody, so that permissions apply (status 79 when it cannot).
ChildResult run_as_nobody(const std::function<int()>& body);

// Ends a child forked from a parent that had other threads with exit(), so
// that atexit handlers and the library's unload hook run, but without the
// leak checker of a sanitizer build: a lock that one of the parent's other
// threads held at fork() stays held in the child, and the checker would
// wait for it for ever.
[[noreturn]] void exit_forked_child(int code);

}  // namespace qellog_test

#endif  // QELLOG_TESTS_TEST_UTIL_H
