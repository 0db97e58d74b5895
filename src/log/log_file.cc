// The public object: every member function of CQel_Log. Each is a short
// step over the engine's layers (docs/design.md): construction and the
// start header, the version banner, the end trailer, the writers, the
// accessors and settings, the stopwatch, flushes, the flush thread's life
// and rotation.
#include <unistd.h>

#include <cstring>
#include <system_error>

#include "log/append.h"
#include "log/calendar.h"
#include "log/file_format.h"
#include "log/flush.h"
#include "log/flush_request.h"
#include "log/generations.h"
#include "log/hot_path.h"
#include "log/line_format.h"
#include "log/line_text.h"
#include "log/live_open.h"
#include "log/log_path.h"
#include "log/log_state.h"
#include "log/message.h"
#include "log/rotation.h"
#include "log/sync.h"
#include "log/sys_calls.h"
#include "qellog/log.h"

using qellog::copy_text;
using qellog::load;
using qellog::LockGuard;
using qellog::LogState;
using qellog::store;

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr char kStart[] = "start_flush_thread";
constexpr char kStop[] = "stop_flush_thread";

// Opens the directory and the file of `log.filename` for the constructor.
// False when it cannot: a failed open is quiet, as always, and what the
// own-file rule or the planted-link rule refused is said once.
bool open_first_file(CQel_Log& log, LogState& s, int flags, unsigned mode) {
  // O_APPEND makes every write land at the end of the file atomically, also
  // against other processes that log to the same file.
  s.open_flags = flags;
  s.mode = mode;
  qellog::PathRefusal refused;
  if (qellog::open_log_directory(log.filename, s, &refused)) {
    log.hflog =
        qellog::open_live_file(s.dir_fd, s.leaf, s.nofollow, log.filename, flags, mode, &refused);
  }
  if (log.hflog != -1) return true;
  if (refused.reason != nullptr) {
    qellog::say_refusal(qellog::kLogFileRefused, log.filename, refused);
  }
  return false;
}

// Begins the file the constructor opened with the start header, after the
// bytes it held before, which count towards the size limit.
void begin_first_file(CQel_Log& log, LogState& s) {
  qellog::judge_live_target(s, log.hflog);
  const unsigned long prior = qellog::regular_file_size(log.hflog);
  s.prior_bytes.store(prior);
  const time_t began = qellog::file_start_time(s, log.hflog, prior);
  struct tm cal;
  qellog::local_calendar(log.last_time.tv_sec, &cal);
  char header[qellog::kHeaderCapacity];
  log.write_to_file(header, qellog::format_start_header(header, sizeof header, log.filename, cal,
                                                        s.lf_only.load(kRelaxed)));
  LockGuard guard(s.write_lock);
  s.file_started_locked(log.curfilesize, prior, began);
}

// Ends the log's file with the lost-line record still pending and the end
// trailer, and closes it. The destructor's, once no other thread uses the
// log.
void end_last_file(CQel_Log& log, LogState& s) {
  qellog::write_pending_record(log);
  timeval now;
  gettimeofday(&now, nullptr);
  {
    LockGuard guard(s.write_lock);
    qellog::store_time(log.last_time, now);
  }
  struct tm cal;
  qellog::local_calendar(now.tv_sec, &cal);
  char trailer[qellog::kTrailerCapacity];
  log.write_to_file(trailer,
                    qellog::format_trailer(trailer, sizeof trailer, cal, s.lf_only.load(kRelaxed)));
  LockGuard guard(s.write_lock);
  qellog::sys.close(log.hflog);
  store(log.hflog, -1);
}

}  // namespace

CQel_Log::CQel_Log(const char* name, int flags, unsigned mode)
    : hflog(-1),
      logbits(3),
      last_time{},
      cur_time{},
      mess_start{},
      mess_stop{},
      flushcount(1000),
      msgcount(0),
      maxfilesize(0x400000),
      curfilesize(0),
      thread_run(false),
      state_(qellog::new_log_state()) {
  qellog::enlist(*this);
  copy_text(lib_name, nullptr);
  copy_text(lib_vers, nullptr);
  copy_text(lib_created, nullptr);
  copy_text(lib_desc, nullptr);
  qellog::renew_time_zone();
  gettimeofday(&last_time, nullptr);
  cur_time = last_time;

  if (name == nullptr) name = "qel_log.log";
  copy_text(filename, name);
  qellog::split_file_name(filename, filename_base, extension);
  // A name that does not fit is refused rather than cut: a cut name would
  // open some other file.
  if (std::strlen(name) >= sizeof filename || !open_first_file(*this, *state_, flags, mode)) {
    logbits = 0;
    return;
  }
  begin_first_file(*this, *state_);
}

CQel_Log::~CQel_Log() {
  stop_flush_thread();
  if (load(hflog) != -1) end_last_file(*this, *state_);
  qellog::delist(*this);
  delete state_;
}

void CQel_Log::set_lib_desc(const char* desc) {
  LockGuard guard(state_->write_lock);
  copy_text(lib_desc, desc);
}

void CQel_Log::set_lib_vers(const char* name, const char* vers, const char* created) {
  char banner[qellog::kBannerCapacity];
  size_t n = 0;
  {
    LockGuard guard(state_->write_lock);
    copy_text(lib_name, name);
    copy_text(lib_vers, vers);
    copy_text(lib_created, created);
    if (hflog == -1) return;
    state_->has_banner = true;
    n = qellog::format_banner(banner, sizeof banner, {lib_name, lib_vers, lib_created, lib_desc},
                              state_->lf_only.load(kRelaxed));
  }
  write_to_file(banner, n);
}

// The writers claim a flush at most; it is raised here, with no lock held.
void CQel_Log::write_to_file(const char* data, unsigned long len) {
  if (qellog::append_piece(*this, data, len)) qellog::raise_flush(*this);
}

QELLOG_HOT void CQel_Log::writelog(unsigned flags, const char* fmt, ...) {
  const unsigned bits = load(logbits);
  if (qellog::drops_message(*this, flags, bits)) return;
  va_list args;
  va_start(args, fmt);
  const bool flush = qellog::write_message(*this, flags, bits, false, 0, fmt, args);
  va_end(args);
  if (flush) qellog::raise_flush(*this);
}

QELLOG_HOT void CQel_Log::writelog(unsigned flags, const char* fmt, va_list args) {
  const unsigned bits = load(logbits);
  if (qellog::drops_message(*this, flags, bits)) return;
  if (qellog::write_message(*this, flags, bits, false, 0, fmt, args)) qellog::raise_flush(*this);
}

QELLOG_HOT void CQel_Log::writelog(unsigned flags, int value, const char* fmt, ...) {
  const unsigned bits = load(logbits);
  if (qellog::drops_message(*this, flags, bits)) return;
  va_list args;
  va_start(args, fmt);
  const bool flush = qellog::write_message(*this, flags, bits, true, value, fmt, args);
  va_end(args);
  if (flush) qellog::raise_flush(*this);
}

QELLOG_HOT void CQel_Log::writelog(unsigned flags, int value, const char* fmt, va_list args) {
  const unsigned bits = load(logbits);
  if (qellog::drops_message(*this, flags, bits)) return;
  if (qellog::write_message(*this, flags, bits, true, value, fmt, args)) qellog::raise_flush(*this);
}

void CQel_Log::writetime() {
  if (qellog::write_time_line(*this)) qellog::raise_flush(*this);
}

void CQel_Log::set_logbits(unsigned bits) { store(logbits, bits); }
unsigned CQel_Log::get_logbits() { return load(logbits); }
void CQel_Log::set_flushcount(unsigned count) { store(flushcount, count); }
unsigned CQel_Log::get_flushcount() { return load(flushcount); }
unsigned CQel_Log::get_msgcount() { return load(msgcount); }
int CQel_Log::get_filehandle() { return load(hflog); }
void CQel_Log::set_maxfilesize(unsigned long size) { store(maxfilesize, size); }
unsigned long CQel_Log::get_maxfilesize() { return load(maxfilesize); }
unsigned long CQel_Log::get_curfilesize() { return load(curfilesize); }

// The opt-in settings; each is read by the flush thread or the write path
// at its next use.
void CQel_Log::set_maxfilecount(unsigned long count) {
  state_->max_file_count.store(count, kRelaxed);
}
unsigned long CQel_Log::get_maxfilecount() { return state_->max_file_count.load(kRelaxed); }
void CQel_Log::set_maxtotalsize(unsigned long size) {
  state_->max_total_size.store(size, kRelaxed);
}
unsigned long CQel_Log::get_maxtotalsize() { return state_->max_total_size.load(kRelaxed); }
void CQel_Log::set_maxfileage(unsigned long days) { state_->max_file_age.store(days, kRelaxed); }
unsigned long CQel_Log::get_maxfileage() { return state_->max_file_age.load(kRelaxed); }
unsigned long CQel_Log::get_lostcount() { return state_->lost_count.load(kRelaxed); }
void CQel_Log::set_lostlines(bool on) { state_->lost_lines_record.store(on, kRelaxed); }
bool CQel_Log::get_lostlines() { return state_->lost_lines_record.load(kRelaxed); }
void CQel_Log::set_reopen(bool on) { state_->reopen.store(on, kRelaxed); }
bool CQel_Log::get_reopen() { return state_->reopen.load(kRelaxed); }
void CQel_Log::set_reopeninterval(unsigned seconds) {
  state_->reopen_interval.store(seconds, kRelaxed);
}
unsigned CQel_Log::get_reopeninterval() { return state_->reopen_interval.load(kRelaxed); }
// Only a flag: safe in a signal handler. The flush thread acts on it.
void CQel_Log::request_reopen() { state_->reopen_requested.store(true, kRelaxed); }
void CQel_Log::set_rotatetime(unsigned period) { state_->rotate_time.store(period, kRelaxed); }
unsigned CQel_Log::get_rotatetime() { return state_->rotate_time.load(kRelaxed); }
void CQel_Log::set_tailsafe(bool on) { state_->tailsafe.store(on, kRelaxed); }
bool CQel_Log::get_tailsafe() { return state_->tailsafe.load(kRelaxed); }
void CQel_Log::set_generations(bool on) {
  state_->generations.store(on, kRelaxed);
  if (on) qellog::adopt_generation(*this);
}
bool CQel_Log::get_generations() { return state_->generations.load(kRelaxed); }
void CQel_Log::set_shiplag(unsigned long seconds) { state_->ship_lag.store(seconds, kRelaxed); }
unsigned long CQel_Log::get_shiplag() { return state_->ship_lag.load(kRelaxed); }
void CQel_Log::set_isotime(bool on) { state_->iso_time.store(on, kRelaxed); }
bool CQel_Log::get_isotime() { return state_->iso_time.load(kRelaxed); }
void CQel_Log::set_strictsize(bool on) { state_->strict_size.store(on, kRelaxed); }
bool CQel_Log::get_strictsize() { return state_->strict_size.load(kRelaxed); }

void CQel_Log::start_time_mess() { gettimeofday(&mess_start, nullptr); }

double CQel_Log::stop_time_mess() {
  gettimeofday(&mess_stop, nullptr);
  return qellog::stopwatch_ms(mess_start, mess_stop);
}

void CQel_Log::flushlog() {
  // While this flush runs, its own lines (and everybody else's) raise no
  // further request; the count carries on to the next one.
  const bool claimed = qellog::claim_flush(*state_);
  qellog::flush_now(*this);
  if (claimed) qellog::release_flush(*state_);
}

// Also joins, quietly, a thread whose run flag was cleared from outside
// without a join: destroying a joinable std::thread terminates.
int CQel_Log::stop_flush_thread() {
  if (!flush_thread.joinable()) return 0;
  const bool running = thread_run.exchange(false);
  qellog::wake_flush_thread(*this);
  if (running) {
    writelog(LOGBIT_INTERNAL, "%s: wait until thread %d is closed", kStop,
             static_cast<int>(flush_thread.native_handle()));
  }
  flush_thread.join();
  if (running) writelog(LOGBIT_INTERNAL, "%s: thread join done", kStop);
  return 0;
}

int CQel_Log::start_flush_thread() {
  if (thread_run.load()) {
    writelog(LOGBIT_INTERNAL, "%s: thread already running", kStart);
    return 0;
  }
  // Set before the thread exists, so that its first loop test finds it.
  thread_run.store(true);
  try {
    flush_thread = std::thread(&CQel_Log::msg_flush_thread, this);
  } catch (const std::system_error&) {
    writelog(LOGBIT_INTERNAL, "%s: create thread failed", kStart);
    thread_run.store(false);
    return -1;
  }
  writelog(LOGBIT_INTERNAL, "%s: thread %d created", kStart,
           static_cast<int>(flush_thread.native_handle()));
  return 0;
}

int CQel_Log::msg_flush_thread() {
  qellog::run_flush_thread(*this);
  return 0;
}

void CQel_Log::create_next_file() { qellog::rotate(*this); }
