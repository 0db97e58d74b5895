#ifndef QELLOG_LOG_H
#define QELLOG_LOG_H

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <thread>

#include "qellog/export.h"

namespace qellog {
struct ForkHandlers;  // internal: keeps logs usable across fork()
}

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

// One plain-text log file with CR LF line ends: a start header, an optional
// version banner, message and time-stamp lines, and an end trailer.
//
// Every piece reaches the file as one write(2) on a descriptor opened with
// O_APPEND, so a call that returned has put its bytes into the kernel, and
// lines of several threads or processes never tear into each other. The
// file is synced every `flushcount` + 1 counted writes, inline or by the
// flush thread, which also rotates the file once it reaches `maxfilesize`.
//
// Thread safety: any number of threads may call writelog(), writetime(),
// flushlog() and the accessors at once; their writes run in the kernel side
// by side, so lines of threads writing at the same moment may land in
// either order. start_flush_thread() and stop_flush_thread() are called by
// the owner, one at a time. The object must not be destroyed while another
// thread still uses it. After fork() the child's copy is usable, without a
// flush thread.
//
// Created with new, destroyed with delete; never copied.
class QELLOG_API CQel_Log {
 public:
  // Opens `name` (the default "qel_log.log" when null) with `flags` |
  // O_APPEND | O_CLOEXEC and `mode`, and writes the start header. A name that does not
  // fit `filename` (1024 bytes or more) is refused like a failed open. On
  // failure the object stays usable: hflog is -1, logbits 0, nothing is
  // written and nothing is reported.
  CQel_Log(const char* name, int flags, unsigned mode);
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
  // on stderr and counts nothing. May raise a flush request.
  void write_to_file(const char* data, unsigned long len);

  // One message line: dropped unless the flag word (0 counts as 1) shares a
  // bit with logbits; otherwise prefixed as logbits selects, tagged
  // "ERROR " for the error class, cut to 297 characters, ended with CR LF
  // unless the flag word has LOGBIT_NOCRLF, and written in one piece. A flag
  // word of exactly LOGBIT_NEWLINE writes "\n" on stdout only. A dropped
  // message costs one clock read and takes no lock.
  void writelog(unsigned flags, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));
  void writelog(unsigned flags, const char* fmt, va_list args);
  // As above, with the value field "%08x " after the prefix fields.
  void writelog(unsigned flags, int value, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));
  void writelog(unsigned flags, int value, const char* fmt, va_list args);
  // A bare time-stamp line "HH:MM.SS.mmm DD.MM.YYYY"; the next line's
  // elapsed time counts from it. Nothing while logbits is 0 or no file is
  // open.
  void writetime();

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
  // Retention of rotated files; 0 means no limit.
  void set_maxfilecount(unsigned long count);
  unsigned long get_maxfilecount();
  void set_maxtotalsize(unsigned long size);
  unsigned long get_maxtotalsize();
  void set_maxfileage(unsigned long days);
  unsigned long get_maxfileage();
  // Lost-line accounting and its record in the file.
  unsigned long get_lostcount();
  void set_lostlines(bool on);
  bool get_lostlines();
  // Following external rotation, rotation by time, tail-safe rotation.
  void set_reopen(bool on);
  bool get_reopen();
  void set_reopeninterval(unsigned seconds);
  unsigned get_reopeninterval();
  void request_reopen();
  void set_rotatetime(unsigned period);
  unsigned get_rotatetime();
  void set_tailsafe(bool on);
  bool get_tailsafe();

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
  // Moves the file to filename_base + "_YYYY_MM_DD_hh_mm_ss_mmm" + extension
  // and continues in a fresh file that opens with a continuation header.
  // Writers wait at most for the swap of the descriptor. When the file
  // cannot be moved, or the new file cannot be opened, the log keeps
  // writing to its current file under its own name and a later call tries
  // again.
  void create_next_file();

  // The data model. Fields are public for hosts and tests to read; change
  // them only through the member functions while other threads write.
  char filename[1024];       // path as opened
  char filename_base[1024];  // filename without its extension
  char extension[11];        // ".ext" (at most 10 characters) or empty
  char lib_name[20];
  char lib_vers[40];
  char lib_created[20];
  char lib_desc[100];
  int hflog;                 // descriptor; -1 while no file is open
  Logbits logbits;           // enable mask
  timeval last_time;         // reference of the elapsed-time field
  timeval cur_time;          // time of the line being formatted
  timeval mess_start;        // stopwatch
  timeval mess_stop;
  unsigned flushcount;       // counted writes between flushes
  unsigned msgcount;         // counted writes since the last flush
  unsigned long maxfilesize; // rotation size
  unsigned long curfilesize; // bytes written to the current file
  std::thread flush_thread;
  std::atomic<bool> thread_run;
  std::mutex flush_mutex;
  std::condition_variable flush_cond;

 private:
  // Serialises, per log, the steps of a line from its clock reading to its
  // accounting, and the swap of the descriptor at rotation. Never held
  // across a write(2) or while a flush is requested.
  pthread_mutex_t write_lock_;
  // Writes in progress outside the write lock, by descriptor generation
  // (its lowest bit): a rotation closes the previous descriptor only once
  // the writes that took it have returned.
  unsigned fd_generation_;
  std::atomic<unsigned> writes_in_flight_[2];
  // Held by the flush in progress on this log; while set, further flush
  // requests are not raised and the count carries on.
  std::atomic<bool> flush_busy_;
  // Serialises rotations and syncs, so that an fsync never meets a
  // descriptor that a rotation closes. Writers never take it.
  std::mutex rotate_mutex_;
  // Every live log is on one list, so that fork() can hand each of them to
  // the child in a usable state.
  CQel_Log* prev_log_;
  CQel_Log* next_log_;

  QELLOG_LOCAL void write_line(unsigned flags, bool with_value, int value,
                                const char* fmt, va_list args);
  // A write counted under the write lock and made after it is released.
  struct Append {
    int fd;
    unsigned generation;
    bool counted;
    bool claimed_flush;
  };
  QELLOG_LOCAL Append reserve_locked(unsigned long len);
  QELLOG_LOCAL bool complete(const Append& a, const char* data, unsigned long len);
  QELLOG_LOCAL void raise_flush();
  QELLOG_LOCAL void flush_now();
  QELLOG_LOCAL void fsync_current();
  QELLOG_LOCAL void enlist();
  QELLOG_LOCAL void delist();
  QELLOG_LOCAL static void before_fork();
  QELLOG_LOCAL static void after_fork_in_parent();
  QELLOG_LOCAL static void after_fork_in_child();
  friend struct qellog::ForkHandlers;
};

#endif  // QELLOG_LOG_H
