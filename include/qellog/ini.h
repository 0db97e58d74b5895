#ifndef QELLOG_INI_H
#define QELLOG_INI_H

#include "qellog/export.h"
#include "qellog/log.h"

// Result codes of the configuration reader. Callers need only test
// against INI_SUCCESS.
constexpr unsigned int INI_SUCCESS = 0;
constexpr unsigned int INI_ERR_BUFFER_TOO_SHORT = 0xa00a3006;
constexpr unsigned int INI_ERR_LOAD_FILE = 0xa00a3004;
constexpr unsigned int INI_ERR_NOT_FOUND = 0xa00a301d;

// The configuration reader of one base name: resolves the per-user files of
// that name under the home directory and builds a configured log from the
// parameter file
//   $HOME/.config/qel/<name>_param.ini
// The home text is $HOME as it is, also when empty; only when HOME is unset,
// the real user's password entry; without one (or without its pw_dir) the
// empty text. An empty home text selects names relative to the working
// directory ("./<name>_param.ini").
//
// When the environment variable QELLOG_CONFIG_DIR is set and not empty, the
// parameter and registry files are looked for in that directory only
// ($QELLOG_CONFIG_DIR/<name>_param.ini); a parameter file that cannot be
// read there is said in one line on stderr ("qellog: QELLOG_CONFIG_DIR=...:
// cannot read ...") instead of being quietly missing. The default log name
// stays under the home text.
//
// A process with elevated privileges (setuid, setgid or file capabilities)
// ignores HOME and QELLOG_CONFIG_DIR, takes the home of its effective user,
// and reads the parameter file only when it is named by an absolute path
// and is not a symbolic link itself.
//
// No process obeys a parameter file that a user other than itself and root
// could have written: the file must be a regular file of at most 1 MiB,
// owned by the effective user or root and writable by neither group nor
// others; every directory on its path must belong to one of them and be
// writable by neither group nor others unless it has the sticky bit; no
// link on the way may be one another user could have planted. Any other
// file counts as a file that cannot be loaded; one refused for its owner,
// its mode or a link on the way is said in one line on stderr ("qellog:
// the parameter file ... refused: ...").
//
// Its own diagnostics go to `ini_log` when one is attached (assign the field
// or call set_ini_log(); never into the log it builds) and are dropped
// otherwise: flag word 1 (LOGBIT_ERROR) for failures, 2 (LOGBIT_INFO) for the
// trace of each step, each line starting with the reporting operation's name.
//
// Not thread-safe against itself; a reader is cheap to create per call. The
// parameter file is opened close-on-exec, without blocking on a FIFO, and
// closed before each operation returns.
class QELLOG_API CQel_ini {
 public:
  // Copies the base name (null counts as empty). A name of 190 characters
  // or more is cut to its first 189, so `name` always stays terminated.
  explicit CQel_ini(const char* base_name);

  // The three file names, composed into `buf` of `size` bytes. Result
  // INI_SUCCESS, or INI_ERR_BUFFER_TOO_SHORT when the name would exceed
  // 1021 characters or does not fit `buf` with its terminator; `buf` is
  // written on success only.
  //   parameter file: home + "/.config/qel/" + name + "_param.ini"
  //   registry file:  home + "/.config/qel/" + name + "_reg.ini"
  //   default log:    home + "/.qel/qel_logging/" + name + ".log"
  // With an empty home text each is "./" + name + suffix.
  unsigned int get_ini_filename(char* buf, int size);
  unsigned int get_reg_filename(char* buf, int size);
  unsigned int get_default_logname(char* buf, int size);

  // The reader's diagnostic output: into ini_log with the value 0, or
  // nowhere when ini_log is null.
  void writelog(unsigned flags, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  // Attaches (or, with null, detaches) the log that receives the reader's
  // diagnostics. The reader does not own it.
  void set_ini_log(CQel_Log* log);

  // Builds a log from the [LOGGING] section of the parameter file and
  // returns it (allocated with new; the caller deletes it), or null when
  // the file name cannot be formed, the file cannot be loaded, or no log
  // file name results. A returned log may have no open file. Blocks on file
  // and directory work; may start the log's flush thread ("Flushthread").
  // Throws std::bad_alloc when memory for the parsed file or the log runs
  // out; nothing leaks then.
  //
  // The log file path, from "Logpath" (a directory, created with mode 0775
  // when missing; a failed mkdir makes it unusable) and "Logname":
  //   directory and Logname      directory + "/" + Logname
  //   directory only             directory + "/" + name + ".log"
  //   absolute Logname only      Logname as it is
  //   relative Logname only      home + "/.qel/qel_logging/" + Logname
  //                              ("./" + Logname with an empty home text)
  //   neither                    get_default_logname()
  // A Logpath of more than 1023 characters, or a path above that does not
  // fit 1023 characters, is never cut: it is refused with an error line and
  // the part that broke it counts as absent, so the next rule applies.
  // Neither this nor the default name creates the default log directory.
  //
  // The keys of [LOGGING]. The first four choose and open the log file;
  // the others are applied after, each only when present, in this order
  // (numbers as strtoul reads them, base 0):
  //   Logpath            the log's directory (the table above)
  //   Logname            the log file's name (the table above)
  //   LogFileFlags       O_WRONLY, plus O_CREAT for a value containing
  //                      "CREAT" and O_TRUNC for "TRUNC" (any case)
  //   LogFilePermission  the mode of a created file (default 0644)
  //   Logging            the enable mask (set_logbits)
  //   Flushcount         writes between two syncs (set_flushcount)
  //   Maxfilesize        the rotation size in bytes; "Mb" or "kb" in the
  //                      value scale it (set_maxfilesize)
  //   Strictsize         a switch: rotate right at Maxfilesize
  //                      (set_strictsize)
  //   Maxfilecount       rotated files kept (set_maxfilecount)
  //   Maxtotalsize       their total size, units as Maxfilesize
  //                      (set_maxtotalsize)
  //   Maxfileage         days a rotated file is kept (set_maxfileage)
  //   Lostlines          a switch: record lost lines (set_lostlines)
  //   Reopen             a switch: follow a moved file (set_reopen)
  //   Reopeninterval     seconds between those checks (set_reopeninterval)
  //   Rotatetime         "hourly" or "daily" exactly; anything else is
  //                      none (set_rotatetime)
  //   Tailsafe           a switch: the rotation order for shippers
  //                      (set_tailsafe)
  //   Generations        a switch: each file born under its rotated name,
  //                      the log's name a link to it (set_generations)
  //   Shiplag            seconds retention keeps a rotated file after it
  //                      left the log's name (set_shiplag)
  //   Isotime            a switch: the dated time field (set_isotime)
  //   Maxlinelength      the longest line, 297 to 65536
  //                      (set_maxlinelength)
  //   Lineend            "lf" exactly, or CR LF (set_lineend); given to the
  //                      constructor, so that the start header has it too
  //   Flushthread        a switch, last: starts the flush thread
  // Switches are on for a value containing "yes", off for one containing
  // "no", and otherwise on only for the number 1. Reopening and rotation by
  // time are the flush thread's work: asked for (Reopen on, a non-zero
  // Reopeninterval, or an hourly or daily Rotatetime) without a flush
  // thread started, they are reported as ignored.
  //
  // Each key of the section [CLASSES], in file order, names a class:
  // NAME = bit, as set_classname(bit, NAME) does; a name or bit that it
  // refuses is an error line of the trace and names nothing. The section
  // [GENERAL] is read only by get_general_bits_from_ini().
  CQel_Log* create_log_from_ini();
  // Reads the parameter file again and applies it to `log`, a log the
  // caller owns, in place, while other threads keep writing to it. The log
  // ends up as create_log_from_ini() would build it from the file, with
  // its lines and counts kept:
  // - when the file names another log file than `log` writes to (Logpath,
  //   Logname), or `log` has none open, the log moves there the way a
  //   rotation swaps descriptors: the new file is opened by the same rules
  //   as at the start (Logpath made when missing), except that it is never
  //   emptied (O_TRUNC is ignored), and gets its start header (and the
  //   version banner, when the old file had one) before any line; then the
  //   old file gets its end trailer and is closed. No line is lost or
  //   written twice. LogFileFlags and LogFilePermission apply to the files
  //   that rotation makes;
  // - every setting key takes effect at once; a key that is gone gets the
  //   value the log has without it, except Flushthread: "yes" starts the
  //   flush thread, "no" stops it, and without the key it stays as it is.
  //   Class names that the file no longer gives are taken away.
  //   Generations turned on gives the current file its rotated name at
  //   once; turned off (or gone), the current file keeps its name and the
  //   next file is born under the log's name alone. Shiplag holds from the
  //   next retention pass;
  // INI_SUCCESS; otherwise nothing changed: the code of get_ini_filename(),
  // INI_ERR_LOAD_FILE when the file is missing, unreadable or refused, or
  // INI_ERR_NOT_FOUND for a null `log`, when no log file name results or
  // when the file it names cannot be opened (a refusal of the start's
  // rules is said on stderr, as at the start). The trace goes to ini_log,
  // each line starting "reload_log_from_ini: "; attach another log than
  // `log` there. Any thread but a signal handler, while no other thread
  // runs the owner's calls of `log` (start_flush_thread(),
  // stop_flush_thread(), the destructor); may start or stop (and join)
  // the flush thread. Throws std::bad_alloc when memory runs out.
  unsigned int reload_log_from_ini(CQel_Log* log);
  // Reads one key as a number (strtoul, base 0, low 32 bits) into `value`.
  // INI_SUCCESS; INI_ERR_BUFFER_TOO_SHORT, INI_ERR_LOAD_FILE or
  // INI_ERR_NOT_FOUND (also for a null section or key, shown as "(null)" in
  // the diagnostic), `value` untouched. Section and key names match without
  // regard to the case of A to Z. Reads the file anew at every call.
  unsigned int get_param_from_ini(const char* section, const char* key, unsigned int& value);
  // get_param_from_ini("GENERAL", "general", bits), with its own trace.
  unsigned int get_general_bits_from_ini(unsigned int& bits);

  char name[200];
  CQel_Log* ini_log;
  const char* config_dir;    // "/.config/qel/"
  const char* param_suffix;  // "_param.ini"
  const char* reg_suffix;    // "_reg.ini"
};

#endif  // QELLOG_INI_H
