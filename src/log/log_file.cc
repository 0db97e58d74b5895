// The log object: construction and the start header, the version banner,
// the end trailer, the write primitive, accessors and the stopwatch.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "log/file_format.h"
#include "log/internal.h"
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

void init_write_lock(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // A line holds the lock for its clock reading, prefix and accounting, a
  // few hundred nanoseconds; spinning that long before sleeping avoids a
  // futex round trip per contended line.
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
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
      fd_generation_(0),
      writes_in_flight_{},
      flush_busy_(false) {
  init_write_lock(&write_lock_);
  enlist();
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
  hflog = open(filename, flags | O_APPEND | O_CLOEXEC, mode);
  if (hflog == -1) {
    logbits = 0;
    return;
  }

  struct tm cal;
  qellog::local_calendar(last_time.tv_sec, &cal);
  char header[qellog::kHeaderCapacity];
  write_to_file(header, qellog::format_start_header(header, sizeof header,
                                                    filename, cal));
}

CQel_Log::~CQel_Log() {
  stop_flush_thread();
  if (flush_thread.joinable()) {
    // thread_run was cleared from outside without a join: wake the thread
    // and join it here, or destroying a joinable std::thread terminates.
    thread_run.store(false);
    {
      std::lock_guard<std::mutex> guard(flush_mutex);
      flush_cond.notify_one();
    }
    flush_thread.join();
  }
  if (load(hflog) != -1) {
    timeval now;
    gettimeofday(&now, nullptr);
    {
      LockGuard guard(write_lock_);
      qellog::store_time(last_time, now);
    }
    struct tm cal;
    qellog::local_calendar(now.tv_sec, &cal);
    char trailer[qellog::kTrailerCapacity];
    write_to_file(trailer, qellog::format_trailer(trailer, sizeof trailer, cal));
    LockGuard guard(write_lock_);
    close(hflog);
    store(hflog, -1);
  }
  delist();
  pthread_mutex_destroy(&write_lock_);
}

void CQel_Log::set_lib_desc(const char* desc) {
  LockGuard guard(write_lock_);
  copy_text(lib_desc, desc);
}

void CQel_Log::set_lib_vers(const char* name, const char* vers,
                            const char* created) {
  char banner[qellog::kBannerCapacity];
  size_t n = 0;
  {
    LockGuard guard(write_lock_);
    copy_text(lib_name, name);
    copy_text(lib_vers, vers);
    copy_text(lib_created, created);
    if (hflog == -1) return;
    n = qellog::format_banner(banner, sizeof banner,
                              {lib_name, lib_vers, lib_created, lib_desc});
  }
  write_to_file(banner, n);
}

CQel_Log::Append CQel_Log::reserve_locked(unsigned long len) {
  Append a{hflog, fd_generation_, false, false};
  if (hflog == -1) return a;  // the write fails and is reported, uncounted
  // Counted before the write, so that a rotation, which swaps the
  // descriptor and resets the size under this lock, never mixes the bytes of
  // two files. A failed write takes its count back.
  store(curfilesize, curfilesize + len);
  store(msgcount, msgcount + 1);
  writes_in_flight_[fd_generation_ & 1].fetch_add(1, std::memory_order_relaxed);
  a.counted = true;
  // Exactly one writer claims a flush, and none while one is in progress.
  a.claimed_flush = msgcount > load(flushcount) && !qellog::raises_no_flush() &&
                    !flush_busy_.exchange(true);
  return a;
}

bool CQel_Log::complete(const Append& a, const char* data, unsigned long len) {
  // The descriptor has O_APPEND: the kernel puts each write at the end of
  // the file atomically, so no lseek is needed (or would help) before it,
  // and writes of several threads may run at once.
  ssize_t written;
  do {
    written = write(a.fd, data, len);
  } while (written < 0 && errno == EINTR);
  const bool ok = written == static_cast<ssize_t>(len);
  if (!ok) {
    const int err = errno;
    std::fprintf(stderr, "Error in write to logfile %s: %d\n", filename, err);
    if (a.counted) {
      LockGuard guard(write_lock_);
      if (fd_generation_ == a.generation) store(curfilesize, curfilesize - len);
      if (msgcount > 0) store(msgcount, msgcount - 1);
    }
    if (a.claimed_flush) flush_busy_.store(false);
  }
  if (a.counted) {
    writes_in_flight_[a.generation & 1].fetch_sub(1, std::memory_order_release);
  }
  return ok && a.claimed_flush;
}

void CQel_Log::write_to_file(const char* data, unsigned long len) {
  Append a;
  {
    LockGuard guard(write_lock_);
    a = reserve_locked(len);
  }
  // The flush is raised without the write lock: it takes flush_mutex, under
  // which the flush thread itself writes a line.
  if (complete(a, data, len)) raise_flush();
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
