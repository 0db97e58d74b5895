// Helpers shared by the unit tests.
#ifndef QELLOG_TESTS_TEST_UTIL_H
#define QELLOG_TESTS_TEST_UTIL_H

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

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Names (not paths) of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& dir);
// The text with every digit replaced by '9', to compare dates by form.
std::string shape(std::string s);
// Splits at CR LF; a last piece without CR LF is kept as it is.
std::vector<std::string> split_crlf(const std::string& text);
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

// Ends a child forked from a parent that had other threads with exit(), so
// that atexit handlers and the library's unload hook run, but without the
// leak checker of a sanitizer build: a lock that one of the parent's other
// threads held at fork() stays held in the child, and the checker would
// wait for it for ever.
[[noreturn]] void exit_forked_child(int code);

}  // namespace qellog_test

#endif  // QELLOG_TESTS_TEST_UTIL_H
