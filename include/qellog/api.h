#ifndef QELLOG_API_H
#define QELLOG_API_H

#include <type_traits>

#include "qellog/export.h"
#include "qellog/log.h"

// The process-wide log: one CQel_Log for the whole process, built from the
// parameter file of the host's base name ($HOME/.config/qel/<name>_param.ini,
// or $QELLOG_CONFIG_DIR/<name>_param.ini when that variable is set) as
// CQel_ini::create_log_from_ini() builds it (qellog/ini.h lists the keys).
// Without that file every call below is a quiet no-op until an init_logging()
// succeeds. Settings without a call here (Isotime, Strictsize, retention,
// Reopen, Rotatetime, Tailsafe, Lostlines) come from the parameter file only.
//
//   set_logversions(name, version, description, created);   // optional
//   init_logging(name);
//   writelog(LOGBIT_ERROR, this, "open %s failed: %d", path, err);
//   exit_logging();   // or at the latest when the library is unloaded
//
// Messages and settings may come from any thread at any time; set-up and
// tear-down never destroy the log under a call still inside it.

// Records the host's identity (cut to 49, 49, 199 and 49 characters; null
// counts as empty). Used by the next successful init_logging().
QELLOG_API void set_logversions(char* name, char* version, char* description, char* created);
// Creates the process log from the parameter file of `name` and writes the
// version banner. Does nothing while a process log exists.
QELLOG_API void init_logging(char* name);
// Destroys the process log (end trailer, close). Harmless without one.
QELLOG_API void exit_logging();
// Reads the parameter file of the name init_logging() was given again and
// applies it to the process log in place, while other threads keep
// writing (CQel_ini::reload_log_from_ini): new settings take effect at
// once, and a new Logpath or Logname moves the log to that file (the old
// one gets its end trailer, the new one its start header) without losing
// or repeating a line. 0 on success; -1 without a process log, or when the
// parameter file is missing, unreadable or refused, or the log file it
// names cannot be opened: nothing changes then. Any thread; not from a
// signal handler (let the handler set a flag that the main loop acts on).
QELLOG_API int reload_logging();

// One message line: `flags` as for CQel_Log::writelog, and the low 32 bits
// of `ptr` as the line's value field.
QELLOG_API void writelog(unsigned int flags, void* ptr, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Settings of the process log; no-ops without one.
QELLOG_API void set_logparam_flushlines(unsigned int count);
QELLOG_API void set_logparam_filelen(unsigned int size);
QELLOG_API void set_logparam_logbits(unsigned int bits);
QELLOG_API void set_logparam_thread(unsigned int ignored);  // does nothing
QELLOG_API void set_logparam_logfilepath(char* ignored);    // does nothing

// How the process log's lines look (CQel_Log::set_classname,
// set_maxlinelength, set_lineend; the parameter file's [CLASSES],
// Maxlinelength and Lineend); no-ops without a process log.
// set_logparam_classname() returns 0, or -1 when the name or bit is
// refused or there is no process log. The line end applies to the pieces
// written after the call; the parameter file's Lineend gives the start
// header and the banner LF line ends too.
QELLOG_API int set_logparam_classname(unsigned int bit, const char* name);
QELLOG_API void set_logparam_maxlinelength(unsigned int length);
QELLOG_API void set_logparam_lineend(unsigned int lineend);

// For writers that format their text themselves (qellog/format.h): the
// process log's mask test (false without a process log), and one message
// line from a text formatted already, `len` bytes up to a first NUL, with
// the process log's prefix fields, tags, line length and line end but no
// value field.
QELLOG_API bool get_logparam_passes(unsigned int flags);
QELLOG_API void writelog_text(unsigned int flags, const char* text, unsigned long len);

// Queries; 0 without a process log.
QELLOG_API unsigned int get_logparam_logbits();
QELLOG_API long get_logparam_filehandle();  // 0 also when no file is open
// Pieces whose write failed since the log was made (0 without a log).
QELLOG_API unsigned long get_logparam_lostlines();
QELLOG_API int get_logparam(char* ignored);                              // 0
QELLOG_API int get_logparam_logfilepath(char* buf, unsigned long size);  // 0
QELLOG_API int get_logparam_logfilename(char* buf, unsigned long size);  // 0
// Cuts `path` at "_param" and resolves the parameter file name of the base
// name that stood before it. Always 0.
QELLOG_API int get_logparam_not_used(char* path);

// The process log's flush thread.
QELLOG_API void init_logthread(int ignored);
QELLOG_API void exit_logthread();
QELLOG_API void exit_logthread_t(int ignored);

// Load and unload hooks; the dynamic loader runs them. log_func_fini() has
// the effect of exit_logging().
QELLOG_API void log_func_init();
QELLOG_API void log_func_fini();

// The same functions for constant texts, so that init_logging("myapp")
// compiles without a warning. Each forwards to an exported overload of the
// same name that takes const char* (and never writes into the text;
// get_logparam_not_used() cuts a copy). They are templates so that a call
// the char* functions above already took, with char* texts or a literal
// null, goes on to resolve as it did: only calls with at least one
// const char* come here.
namespace qellog_api {
template <typename... T>
constexpr bool kConstTexts = (std::is_convertible<T, const char*>::value && ...) &&
                             (std::is_same<T, const char*>::value || ...);
}  // namespace qellog_api

template <typename N, typename V, typename D, typename C,
          std::enable_if_t<qellog_api::kConstTexts<N, V, D, C>, int> = 0>
inline void set_logversions(N name, V version, D description, C created) {
  QELLOG_API void set_logversions(const char*, const char*, const char*, const char*);
  set_logversions(name, version, description, created);
}
template <typename N, std::enable_if_t<qellog_api::kConstTexts<N>, int> = 0>
inline void init_logging(N name) {
  QELLOG_API void init_logging(const char*);
  init_logging(name);
}
template <typename P, std::enable_if_t<qellog_api::kConstTexts<P>, int> = 0>
inline void set_logparam_logfilepath(P ignored) {
  QELLOG_API void set_logparam_logfilepath(const char*);
  set_logparam_logfilepath(ignored);
}
template <typename P, std::enable_if_t<qellog_api::kConstTexts<P>, int> = 0>
inline int get_logparam(P ignored) {
  QELLOG_API int get_logparam(const char*);
  return get_logparam(ignored);
}
template <typename P, std::enable_if_t<qellog_api::kConstTexts<P>, int> = 0>
inline int get_logparam_not_used(P path) {
  QELLOG_API int get_logparam_not_used(const char*);
  return get_logparam_not_used(path);
}

#endif  // QELLOG_API_H
