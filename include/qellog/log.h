#ifndef QELLOG_LOG_H
#define QELLOG_LOG_H

#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <thread>

#include "qellog/export.h"

namespace qellog {
struct LogState;   // internal: the engine's private state of one log
struct LogAccess;  // internal: the engine's way to it
}  // namespace qellog

// A 32-bit word with two roles: a log's enable mask (`logbits`) and the flag
// word passed with each message. A message is written when its flag word
// (0 counts as 1) shares a bit with the mask.
typedef unsigned int Logbits;

constexpr Logbits LOGBIT_ERROR = 0x00000001;     // error class, tag "ERROR "
constexpr Logbits LOGBIT_INFO = 0x00000002;      // configuration trace class
constexpr Logbits LOGBIT_TIME = 0x00001000;      // prefix: time of day
constexpr Logbits LOGBIT_DELTA = 0x00002000;     // prefix: elapsed time
constexpr Logbits LOGBIT_PID_TID = 0x00004000;   // prefix: pid:tid
constexpr Logbits LOGBIT_CPU = 0x00008000;       // prefix: processor number
constexpr Logbits LOGBIT_INTERNAL = 0x00100000;  // the engine's own diagnostics
constexpr Logbits LOGBIT_NOCRLF = 0x00400000;    // line without CR LF
constexpr Logbits LOGBIT_NEWLINE = 0x01000000;   // exactly this: "\n" on stdout

// Rotation by time (set_rotatetime, Rotatetime=): none, at the top of each hour, at local midnight.
constexpr unsigned ROTATETIME_NONE = 0;
constexpr unsigned ROTATETIME_HOURLY = 1;
constexpr unsigned ROTATETIME_DAILY = 2;

// Line ends of a log (the constructor's fourth argument, set_lineend(),
// Lineend=): CR LF, the default, or LF alone.
constexpr unsigned LINEEND_CRLF = 0;
constexpr unsigned LINEEND_LF = 1;

// One plain-text log file with CR LF (or LF) line ends: a start header, an optional
// version banner, message and time-stamp lines, and an end trailer.
//
// Every piece reaches the file as one write(2) on a descriptor opened with
// O_APPEND, so a call that returned has put its bytes into the kernel, and
// lines of several threads or processes never tear into each other. The
// file is synced every `flushcount` + 1 counted writes, inline or by the
// flush thread, which also rotates the file once it reaches `maxfilesize`.
//
// Thread safety: every member may run on any number of threads at once
// (writelog(), writetime(), write_to_file(), flushlog(), create_next_file(),
// set_lib_vers(), the accessors and setters), except three that belong to
// the owner and run one at a time: start_flush_thread(),
// stop_flush_thread() and the destructor, which must not run while another
// thread still uses the object. The stopwatch (start_time_mess(),
// stop_time_mess()) is one thread's at a time. Writes of several threads run
// in the kernel side by side, so lines of threads writing at the same moment
// may land in either order. After fork() the child's copy is usable,
// without a flush thread.
//
// Blocking: without a flush thread, every (flushcount + 1)-th counted write
// blocks its caller for an fsync(2) of the file; with it, callers never wait
// for a sync or a rotation, only for the swap of the descriptor. A failed
// fsync is not reported; a pipe, socket or terminal is not synced. For a
// second or so after a write failed (a full disk, a size limit), writers
// take turns, each waiting for the writes already under way.
//
// Created with new, destroyed with delete; never copied.
class QELLOG_API CQel_Log {
 public:
  // Opens `name` (the default "qel_log.log" when null) with `flags` |
  // O_APPEND | O_CLOEXEC and `mode`, and writes the start header. A name that does not
  // fit `filename` (1024 bytes or more) is refused like a failed open. The
  // open never blocks: a FIFO without a reader is a failed open. On
  // failure the object stays usable: hflog is -1, logbits 0, nothing is
  // written and nothing is reported.
  CQel_Log(const char* name, int flags, unsigned mode);
  // The same, with `lineend` (LINEEND_LF, or LINEEND_CRLF for any other
  // value) for every piece of the file from the start header on.
  CQel_Log(const char* name, int flags, unsigned mode, unsigned lineend);
  // Stops the flush thread, writes the end trailer and closes the file.
  ~CQel_Log();
  CQel_Log(const CQel_Log&) = delete;
  CQel_Log& operator=(const CQel_Log&) = delete;

  // Stores the host's name, version and creation date (cut to 19, 39 and 19
  // characters; a null text counts as empty) and, when the file is open,
  // writes the version banner, with the description line when
  // set_lib_desc() came first.
  void set_lib_vers(const char* name, const char* vers, const char* created);
  // Stores the host's description (at most 99 characters; null counts as
  // empty) for the next banner. Writes nothing.
  void set_lib_desc(const char* desc);

  // Appends `len` bytes at the end of the file as one write and counts it.
  // On a failed or short write, prints "Error in write to logfile %s: %d\n"
  // on stderr and counts nothing. The piece that reaches the file after one
  // cut short starts with a line end, so it never glues onto the fragment. May
  // raise a flush request.
  void write_to_file(const char* data, unsigned long len);

  // One message line: dropped unless the flag word (0 counts as 1) shares a
  // bit with logbits; otherwise prefixed as logbits selects, tagged
  // "ERROR " for the error class and with the name of its class
  // (set_classname()), cut to the line length (297 characters unless
  // set_maxlinelength() says otherwise) between whole UTF-8 characters,
  // ended with the line end unless the flag word has LOGBIT_NOCRLF, and written in
  // one piece. A CR in the text is shown as the two characters "\r" (with
  // LF line ends a LF as "\n"), so that no text ends a line. A flag word
  // of exactly LOGBIT_NEWLINE writes "\n" on stdout only. A dropped
  // message costs one clock read and takes no lock.
  void writelog(unsigned flags, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  void writelog(unsigned flags, const char* fmt, va_list args);
  // As above, with the value field "%08x " after the prefix fields.
  void writelog(unsigned flags, int value, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));
  void writelog(unsigned flags, int value, const char* fmt, va_list args);
  // A bare time-stamp line "HH:MM.SS.mmm DD.MM.YYYY"; the next line's
  // elapsed time counts from it. Nothing while logbits is 0 or no file is
  // open.
  void writetime();

  // For writers that format their text themselves (qellog/format.h):
  // passes_mask() is writelog()'s mask test, true when a message of flag
  // word `flags` would be written (a message it drops has had its clock
  // read, as in writelog()); writetext() writes `len` bytes of `text` (up
  // to a first NUL) as writelog() writes a formatted text: the same
  // prefix fields, tags, line length and line end, in one piece.
  bool passes_mask(unsigned flags);
  void writetext(unsigned flags, const char* text, unsigned long len);

  // Plain reads and stores; safe against concurrent writers.
  void set_logbits(unsigned bits);
  unsigned get_logbits();
  void set_flushcount(unsigned count);
  unsigned get_flushcount();
  unsigned get_msgcount();
  int get_filehandle();
  void set_maxfilesize(unsigned long size);
  unsigned long get_maxfilesize();
  unsigned long get_curfilesize();
  // Optional behaviour; all of it is off until set, and a log that sets
  // none of it writes exactly what it wrote before these existed. Each
  // setting takes effect at its next use and may be changed while other
  // threads write.
  //
  // Retention, on the flush thread after each rotation it makes: keep at
  // most `count` rotated files, rotated files of at most `size` bytes in
  // all, none whose name stamp is more than `days` old (0: no limit). Only
  // this log's own rotated files count (its name pattern, a regular file of
  // the effective user in the live file's directory, beginning with one of
  // its headers), and one changed within the last minute is never removed
  // unless this object rotated it and it holds only what this object wrote.
  // A name stamped more than two hours ahead of the clock counts as older
  // than every other, and its age is not judged. A pass reads the heads of
  // at most 1024 files and removes at most 256; a larger backlog takes
  // several.
  void set_maxfilecount(unsigned long count);
  unsigned long get_maxfilecount();
  void set_maxtotalsize(unsigned long size);
  unsigned long get_maxtotalsize();
  void set_maxfileage(unsigned long days);
  unsigned long get_maxfileage();
  // Pieces (lines, headers, banners, trailers) whose write failed or was
  // cut short since the log was made. With set_lostlines(true) the file
  // says so too: the next write that succeeds carries, in the same write,
  // the line "write_to_file: <N> lines lost since <time>, last error <e>".
  unsigned long get_lostcount();
  void set_lostlines(bool on);
  bool get_lostlines();
  // With reopening on, the flush thread checks at each request it serves,
  // and every `seconds` (0: only then), whether the log's name still names
  // its file, and follows a file that another tool moved, replaced or
  // truncated. request_reopen() only sets a flag that the thread acts on
  // within about a second: it may be called from a signal handler.
  void set_reopen(bool on);
  bool get_reopen();
  void set_reopeninterval(unsigned seconds);
  unsigned get_reopeninterval();
  void request_reopen();
  // ROTATETIME_HOURLY or ROTATETIME_DAILY: the flush thread also rotates
  // once the top of the hour or local midnight has passed since the file
  // began, unless it holds only its header. It looks at every turn, also
  // while requests keep coming, wakes at the boundary, and rotates at its
  // first turn a file that began before one. A file the log opened with
  // bytes in it began at its birth time where the file system records one
  // (statx), otherwise at the time in the header it begins with unless
  // that is ahead of the clock (then at its last change), otherwise when
  // the log opened it. After a step of the clock backwards the next
  // boundary follows the corrected clock.
  void set_rotatetime(unsigned period);
  unsigned get_rotatetime();
  // The tail-safe order: the new file is ready and takes the live name
  // before the old file moves away, so a shipper tailing the name sees
  // every line. Same names and texts as the usual order.
  void set_tailsafe(bool on);
  bool get_tailsafe();
  // The generations layout, for a shipper that reads every file by a
  // wildcard over the rotated names: each file is born under its rotated
  // name, <base>_YYYY_MM_DD_hh_mm_ss_mmm<ext> stamped with its birth, and
  // keeps it; the live name is a hard link to the current file, replaced
  // in one rename at each rotation. Turned on, the current file gets its
  // name at once (the one it already has when a run before this one began
  // it so). Turned off, the current file keeps its name and the next new
  // file is born under the live name only. Off by default.
  void set_generations(bool on);
  bool get_generations();
  // Retention (maxfilecount, maxtotalsize, maxfileage) keeps a rotated file
  // until the file after it is `seconds` old, that is until `seconds` after
  // it left the live name, so that a lagging shipper can still read it.
  // 0 (the default): no hold.
  void set_shiplag(unsigned long seconds);
  unsigned long get_shiplag();
  // The time field (LOGBIT_TIME) as a full ISO 8601 local time with its
  // UTC offset, "2026-12-09T17:14:07.427+01:00 ", instead of
  // "17:14:07.427 "; also in the lost-line record. Off by default.
  void set_isotime(bool on);
  bool get_isotime();
  // A size limit that holds, with a flush thread: the write that takes the
  // file to maxfilesize makes the flush thread rotate at its next turn,
  // however busy it is, instead of at the next flush request; and a writer
  // whose line finds the file at twice the limit while that rotation is
  // still to come waits for it (it blocks for a rename, an open and a
  // header, never for an fsync of its own). So no file grows past twice
  // the limit by more than one line of each writing thread. A file already
  // at the limit when the flush thread starts (an earlier run's) rotates at
  // its first turn. Other processes writing to the same file are seen by
  // an fstat(2) every 32nd of the limit, and a rotation by one of them is
  // followed (the log goes on in the new file under its name): with them
  // the bound is passed by at most that much more per process. Off by
  // default; the write path pays one relaxed load for it.
  void set_strictsize(bool on);
  bool get_strictsize();
  // Names of the host's message classes: a message whose flag word has a
  // named bit shows "NAME " where "ERROR " goes ("ERROR " first when bit
  // 0x1 is set, then the name of the lowest named bit). `name` is 1 to 15
  // characters of A-Z, 0-9 and '_', not "ERROR"; `bit` is exactly one bit,
  // not 0x1. A null name takes the bit's name away. False, changing
  // nothing, when the bit or the name is refused. get_classname(): the
  // bit's name or null, valid while the log lives.
  bool set_classname(unsigned bit, const char* name);
  const char* get_classname(unsigned bit);
  // The longest line, in characters before its line end, prefix fields
  // included: 297 by default (the format's 300-byte line), up to 65536; a
  // value outside that range counts as its nearer end. A longer message is
  // written whole, in one piece, up to this length; past it, it is cut. A
  // line that may outgrow 297 characters is made on the heap.
  void set_maxlinelength(unsigned long length);
  unsigned long get_maxlinelength();
  // LINEEND_LF: every later piece (lines, banners, trailers, continuation
  // headers, the lost-line record) ends in LF alone, and a LF in a text is
  // shown as "\n". What the file holds stays as it is; the constructor
  // with a line end gives the start header LF too.
  void set_lineend(unsigned lineend);
  unsigned get_lineend();

  // Stopwatch: stop_time_mess() returns the milliseconds (microsecond
  // resolution) since start_time_mess().
  void start_time_mess();
  double stop_time_mess();

  // Resets msgcount and syncs the file: inline with fsync(2) when no flush
  // thread runs, otherwise by waking the flush thread. Does nothing while
  // no file is open. A flush never starts another on the same object.
  void flushlog();
  // Stops and joins the flush thread; does nothing when none runs.
  // Always returns 0.
  int stop_flush_thread();
  // Starts the flush thread: 0 when started or already running, -1 when no
  // thread can be created (the log goes on with inline syncs).
  int start_flush_thread();
  // The flush thread's body; runs only as that thread's entry.
  int msg_flush_thread();
  // Moves the file to its time-stamped name, the stamp
  // "_YYYY_MM_DD_hh_mm_ss_mmm" before the extension of the last path
  // component ("logs/app.log" => "logs/app_2024_03_05_14_07_09_123.log"),
  // in the directory the log was opened in, and continues in a fresh file
  // that opens with a continuation header. Writers wait at most for the
  // swap of the descriptor. The new file is never reached through a
  // symlink, never truncated, and created with the log's mode; it becomes
  // the log's file only once its header is written. When the file cannot
  // be moved, or the new file cannot be opened or given its header, the
  // log keeps writing to its current file under its own name and a later
  // call tries again; a live file that is already gone is replaced.
  // Only a regular file is ever moved or taken as the live file: a log
  // whose name is a symlink, a device, a FIFO or a socket is never rotated
  // or reopened, and where other users may write to the directory, only a
  // file of the effective user (or one this call created) becomes the
  // live file. Each refusal is one LOGBIT_INTERNAL line per file.
  void create_next_file();

  // The data model. Fields are public for hosts and tests to read; change
  // them only through the member functions while other threads write. A
  // reload that moves the log to another file (CQel_ini::
  // reload_log_from_ini()) changes filename, filename_base and extension:
  // read them while none runs.
  char filename[1024];       // path as opened
  char filename_base[1024];  // filename without its extension
  char extension[11];        // ".ext" (at most 10 characters) or empty
  char lib_name[20];
  char lib_vers[40];
  char lib_created[20];
  char lib_desc[100];
  int hflog;           // descriptor; -1 while no file is open
  Logbits logbits;     // enable mask
  timeval last_time;   // reference of the elapsed-time field
  timeval cur_time;    // time of the line being formatted
  timeval mess_start;  // stopwatch
  timeval mess_stop;
  unsigned flushcount;        // counted writes between flushes
  unsigned msgcount;          // counted writes since the last flush
  unsigned long maxfilesize;  // rotation size
  unsigned long curfilesize;  // bytes written to the current file
  std::thread flush_thread;
  std::atomic<bool> thread_run;
  std::mutex flush_mutex;
  std::condition_variable flush_cond;

 private:
  // The engine's private state. Kept behind one pointer so that the size of
  // this object and the offsets of the fields above never change for hosts
  // built against this library.
  qellog::LogState* state_;
  friend struct qellog::LogAccess;
};

#endif  // QELLOG_LOG_H
