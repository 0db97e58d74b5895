// The process-wide log: the free functions of the public API and the
// library's load and unload hooks.
#include "api/process_log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>

#include "api/log_guard.h"
#include "log/line_text.h"
#include "qellog/api.h"
#include "qellog/ini.h"

using qellog::LogBorrow;

// The const char* overloads. The public header reaches them through
// templates only, so that a call with a literal null still resolves to the
// char* function alone; they are declared here, not in a header, for the
// same reason.
QELLOG_API void set_logversions(const char* name, const char* version, const char* description,
                                const char* created);
QELLOG_API void init_logging(const char* name);
QELLOG_API void set_logparam_logfilepath(const char* ignored);
QELLOG_API int get_logparam(const char* ignored);
QELLOG_API int get_logparam_not_used(const char* path);

namespace {

// Set-up, tear-down and the identity texts are serialised by
// qellog::setup_mutex(); the write path reaches g_log only through
// LogBorrow.
std::atomic<CQel_Log*> g_log{nullptr};
// The process that built g_log. A child made by fork() inherits the pointer
// but not the flush thread, and must not end the parent's file.
pid_t g_log_owner = 0;
char g_lib_name[50];
char g_lib_vers[50];
char g_lib_desc[200];
char g_lib_created[50];
char g_ini_filename[1024];
// The base name of the process log, which reload_logging() reads again.
char g_log_name[200];

// Destroys the process log, if any: the end trailer and the close happen in
// its destructor, after every call still using it has left.
void destroy_process_log() {
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  CQel_Log* log = qellog::retire_log(g_log);
  // In a forked child the log is only let go: destroying it would write an
  // end trailer into the parent's live file and join a flush thread that
  // exists only in the parent.
  if (log != nullptr && getpid() == g_log_owner) delete log;
}

// Builds the log of `name` from its parameter file. Null when the file
// name cannot be formed, the file does not load, or the build throws.
CQel_Log* build_log(const char* name) {
  try {
    CQel_ini ini(name);
    if (ini.get_ini_filename(g_ini_filename, sizeof g_ini_filename) != INI_SUCCESS) {
      return nullptr;
    }
    return ini.create_log_from_ini();
  } catch (const std::exception&) {
    // Out of memory or no mutex: init_logging reports nothing, and the
    // process goes on without a log.
    return nullptr;
  }
}

}  // namespace

CQel_Log* qellog::current_process_log() { return g_log.load(std::memory_order_acquire); }

void set_logversions(char* name, char* version, char* description, char* created) {
  set_logversions(static_cast<const char*>(name), version, description, created);
}

void set_logversions(const char* name, const char* version, const char* description,
                     const char* created) {
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  qellog::copy_text(g_lib_name, name);
  qellog::copy_text(g_lib_vers, version);
  qellog::copy_text(g_lib_desc, description);
  qellog::copy_text(g_lib_created, created);
}

void init_logging(char* name) { init_logging(static_cast<const char*>(name)); }

void init_logging(const char* name) {
  // A null name names no parameter file; it does not stand for the empty
  // base name, whose file "_param.ini" belongs to nobody.
  if (name == nullptr) return;
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  if (g_log.load(std::memory_order_relaxed) != nullptr) return;
  CQel_Log* log = build_log(name);
  if (log == nullptr) return;
  // The description first: the banner has its line only when it was set.
  log->set_lib_desc(g_lib_desc);
  log->set_lib_vers(g_lib_name, g_lib_vers, g_lib_created);
  qellog::copy_text(g_log_name, name);
  // Published after the banner, so that no host line comes before it.
  g_log_owner = getpid();
  g_log.store(log, std::memory_order_release);
}

void exit_logging() { destroy_process_log(); }

int reload_logging() {
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  CQel_Log* log = g_log.load(std::memory_order_relaxed);
  // A forked child's log is the parent's file, which only the parent may
  // end or move.
  if (log == nullptr || getpid() != g_log_owner) return -1;
  try {
    CQel_ini ini(g_log_name);
    return ini.reload_log_from_ini(log) == INI_SUCCESS ? 0 : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

void writelog(unsigned int flags, void* ptr, const char* fmt, ...) {
  LogBorrow borrow(g_log);
  CQel_Log* log = borrow.get();
  if (log == nullptr) return;
  // Only the low 32 bits of the pointer make the value field.
  const auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
  va_list args;
  va_start(args, fmt);
  log->writelog(flags, static_cast<int>(low), fmt != nullptr ? fmt : "", args);
  va_end(args);
}

void set_logparam_flushlines(unsigned int count) {
  LogBorrow borrow(g_log);
  if (CQel_Log* log = borrow.get()) log->set_flushcount(count);
}

void set_logparam_filelen(unsigned int size) {
  LogBorrow borrow(g_log);
  if (CQel_Log* log = borrow.get()) {
    log->set_maxfilesize(static_cast<unsigned long>(size));
  }
}

void set_logparam_logbits(unsigned int bits) {
  LogBorrow borrow(g_log);
  if (CQel_Log* log = borrow.get()) log->set_logbits(bits);
}

int set_logparam_classname(unsigned int bit, const char* name) {
  LogBorrow borrow(g_log);
  CQel_Log* log = borrow.get();
  return log != nullptr && log->set_classname(bit, name) ? 0 : -1;
}

void set_logparam_maxlinelength(unsigned int length) {
  LogBorrow borrow(g_log);
  if (CQel_Log* log = borrow.get()) log->set_maxlinelength(length);
}

void set_logparam_lineend(unsigned int lineend) {
  LogBorrow borrow(g_log);
  if (CQel_Log* log = borrow.get()) log->set_lineend(lineend);
}

bool get_logparam_passes(unsigned int flags) {
  LogBorrow borrow(g_log);
  CQel_Log* log = borrow.get();
  return log != nullptr && log->passes_mask(flags);
}

void writelog_text(unsigned int flags, const char* text, unsigned long len) {
  LogBorrow borrow(g_log);
  if (CQel_Log* log = borrow.get()) log->writetext(flags, text, len);
}

void set_logparam_thread(unsigned int) {}
void set_logparam_logfilepath(char*) {}
void set_logparam_logfilepath(const char*) {}

unsigned int get_logparam_logbits() {
  LogBorrow borrow(g_log);
  CQel_Log* log = borrow.get();
  return log != nullptr ? log->get_logbits() : 0;
}

long get_logparam_filehandle() {
  LogBorrow borrow(g_log);
  CQel_Log* log = borrow.get();
  const int fd = log != nullptr ? log->get_filehandle() : -1;
  return fd >= 0 ? static_cast<long>(fd) : 0;
}

unsigned long get_logparam_lostlines() {
  LogBorrow borrow(g_log);
  CQel_Log* log = borrow.get();
  return log != nullptr ? log->get_lostcount() : 0;
}

int get_logparam(char*) { return 0; }
int get_logparam(const char*) { return 0; }
int get_logparam_logfilepath(char*, unsigned long) { return 0; }
int get_logparam_logfilename(char*, unsigned long) { return 0; }

namespace {

// The base name in `path`: the text before "_param" after the last '/'
// before it (the whole text when there is no "_param"), cut to fit `work`.
void param_base_name(const char* path, char (&work)[1024]) {
  const char* cut = std::strstr(path, "_param");
  const size_t end = cut != nullptr ? static_cast<size_t>(cut - path) : std::strlen(path);
  size_t begin = 0;
  if (cut != nullptr) {
    for (size_t i = end; i > 0; --i) {
      if (path[i - 1] == '/') {
        begin = i;
        break;
      }
    }
  }
  std::memset(work, 0, sizeof work);
  std::memcpy(work, path + begin, std::min(end - begin, sizeof work - 1));
}

}  // namespace

int get_logparam_not_used(char* path) {
  get_logparam_not_used(static_cast<const char*>(path));
  // The caller's text is cut at "_param", as this call always did.
  if (path != nullptr) {
    if (char* cut = std::strstr(path, "_param")) *cut = '\0';
  }
  return 0;
}

int get_logparam_not_used(const char* path) {
  const char* text = path != nullptr ? path : "";
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  qellog::copy_text(g_ini_filename, text);
  char work[1024];
  param_base_name(text, work);
  CQel_ini ini(work);
  // On failure g_ini_filename keeps the copy made above.
  ini.get_ini_filename(g_ini_filename, sizeof g_ini_filename);
  return 0;
}

// The flush thread is started and stopped by one owner at a time; the
// set-up mutex makes the process the owner and keeps the log alive.
void init_logthread(int) {
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  if (CQel_Log* log = g_log.load(std::memory_order_relaxed)) {
    log->start_flush_thread();
  }
}

void exit_logthread() {
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  if (CQel_Log* log = g_log.load(std::memory_order_relaxed)) {
    log->stop_flush_thread();
  }
}

void exit_logthread_t(int) { exit_logthread(); }

__attribute__((constructor)) void log_func_init() {
  std::lock_guard<std::mutex> lock(qellog::setup_mutex());
  std::memset(g_ini_filename, 0, sizeof g_ini_filename);
}

// Runs at dlclose() and at normal process exit, so that a host that never
// called exit_logging() still gets its end trailer.
__attribute__((destructor)) void log_func_fini() { destroy_process_log(); }
