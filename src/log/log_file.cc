// The log object: construction and the start header, the version banner,
// the end trailer, the write primitive, accessors and the stopwatch.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "log/append.h"
#include "log/file_format.h"
#include "log/flush.h"
#include "log/log_path.h"
#include "log/lost_lines.h"
#include "log/log_state.h"
#include "log/process_ids.h"
#include "log/sync.h"
#include "log/upkeep.h"
#include "qellog/log.h"

using qellog::LockGuard;
using qellog::load;
using qellog::store;

namespace {

// Copies at most `cap` - 1 characters of `src` (null counts as empty) and
// clears the rest of `dst`, so the text stays terminated.
template <size_t N>
void copy_text(char (&dst)[N], const char* src) {
  std::memset(dst, 0, N);
  if (src != nullptr) std::memcpy(dst, src, strnlen(src, N - 1));
}

// "dir/run.trace.log" => ("dir/run.trace", ".log"). The last '.' anywhere
// counts, also in a directory part; a tail longer than 10 characters is no
// extension.
void split_name(const char* name, char (&base)[1024], char (&ext)[11]) {
  copy_text(base, name);
  std::memset(ext, 0, sizeof ext);
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr || std::strlen(dot) > sizeof ext - 1) return;
  std::strcpy(ext, dot);
  base[dot - name] = '\0';
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
      state_(new qellog::LogState) {
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
  split_name(filename, filename_base, extension);
  // A name that does not fit is refused rather than cut: a cut name would
  // open some other file.
  if (std::strlen(name) >= sizeof filename) {
    logbits = 0;
    return;
  }
  // O_APPEND makes every write land at the end of the file atomically, also
  // against other processes that log to the same file.
  state_->open_flags = flags;
  state_->mode = mode;
  if (qellog::open_log_directory(filename, *state_)) {
    hflog = qellog::open_live_file(*state_, flags, mode);
  }
  if (hflog == -1) {
    logbits = 0;
    return;
  }
  qellog::judge_live_target(*state_, hflog);
  const unsigned long prior = qellog::regular_file_size(hflog);
  state_->prior_bytes.store(prior);
  // A file that earlier runs began: time rotation counts from its start.
  const time_t began = prior > 0 ? qellog::file_began(*state_, hflog, qellog::g_wall_clock())
                                 : qellog::g_wall_clock();
  struct tm cal;
  qellog::local_calendar(last_time.tv_sec, &cal);
  char header[qellog::kHeaderCapacity];
  write_to_file(header, qellog::format_start_header(header, sizeof header,
                                                    filename, cal));
  LockGuard guard(state_->write_lock);
  qellog::file_started_locked(*state_, curfilesize, prior, began);
}

CQel_Log::~CQel_Log() {
  stop_flush_thread();
  // Also a thread whose run flag was cleared from outside without a join:
  // destroying a joinable std::thread terminates.
  qellog::join_flush_thread(*this);
  if (load(hflog) != -1) {
    qellog::write_pending_record(*this);
    timeval now;
    gettimeofday(&now, nullptr);
    {
      LockGuard guard(state_->write_lock);
      qellog::store_time(last_time, now);
    }
    struct tm cal;
    qellog::local_calendar(now.tv_sec, &cal);
    char trailer[qellog::kTrailerCapacity];
    write_to_file(trailer, qellog::format_trailer(trailer, sizeof trailer, cal));
    LockGuard guard(state_->write_lock);
    close(hflog);
    store(hflog, -1);
  }
  qellog::delist(*this);
  delete state_;
}

void CQel_Log::set_lib_desc(const char* desc) {
  LockGuard guard(state_->write_lock);
  copy_text(lib_desc, desc);
}

void CQel_Log::set_lib_vers(const char* name, const char* vers,
                            const char* created) {
  char banner[qellog::kBannerCapacity];
  size_t n = 0;
  {
    LockGuard guard(state_->write_lock);
    copy_text(lib_name, name);
    copy_text(lib_vers, vers);
    copy_text(lib_created, created);
    if (hflog == -1) return;
    n = qellog::format_banner(banner, sizeof banner,
                              {lib_name, lib_vers, lib_created, lib_desc});
  }
  write_to_file(banner, n);
}

void CQel_Log::write_to_file(const char* data, unsigned long len) {
  qellog::append_piece(*this, data, len);
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

void CQel_Log::start_time_mess() { gettimeofday(&mess_start, nullptr); }

double CQel_Log::stop_time_mess() {
  gettimeofday(&mess_stop, nullptr);
  long long d_us = static_cast<long long>(mess_stop.tv_usec) - mess_start.tv_usec;
  long long d_s = static_cast<long long>(mess_stop.tv_sec) - mess_start.tv_sec;
  if (d_us < 0) {
    d_us += 1000000;
    d_s -= 1;
  }
  return (static_cast<double>(d_us) + 1000000.0 * static_cast<double>(d_s)) /
         1000.0;
}
