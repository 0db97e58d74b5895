// The engine's private state of one log. It lives behind one pointer of
// CQel_Log, so the object's size and the offsets of its public fields stay
// the same for hosts whatever the engine keeps.
#ifndef QELLOG_SRC_LOG_LOG_STATE_H
#define QELLOG_SRC_LOG_LOG_STATE_H

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <mutex>

#include "qellog/log.h"

namespace qellog {

struct LogState {
  LogState();
  ~LogState();
  LogState(const LogState&) = delete;
  LogState& operator=(const LogState&) = delete;

  // Serialises, per log, the steps of a line from its clock reading to its
  // accounting, and the swap of the descriptor at rotation. Never held
  // across a write(2) or while a flush is requested.
  pthread_mutex_t write_lock;
  // Writes in progress outside the write lock, by descriptor generation
  // (its lowest bit): a swap closes the previous descriptor only once the
  // writes that took it have returned.
  unsigned fd_generation = 0;
  std::atomic<unsigned> writes_in_flight[2] = {};
  // Held by the flush in progress on this log; while set, further flush
  // requests are not raised and the count carries on.
  std::atomic<bool> flush_busy{false};
  // Serialises rotations and syncs, so that an fsync never meets a
  // descriptor that a rotation closes. Writers never take it.
  std::mutex rotate_mutex;
  // Every live log is on one list, so that fork() can hand each of them to
  // the child in a usable state.
  CQel_Log* prev_log = nullptr;
  CQel_Log* next_log = nullptr;

  // Where the log lives: its directory, held open so that rotation acts
  // there whatever the host's working directory becomes, and the live
  // file's name in it, split for rotated names ("app" + ".log").
  int dir_fd = -1;
  char leaf[1024] = {};
  char stem[1024] = {};
  char ext[16] = {};
  // The directory may hold a symlink planted by another user: the file is
  // then never opened through one.
  bool nofollow = false;
  // The open flags and permission bits the log was built with; a rotation
  // creates its new file with the same bits.
  int open_flags = 0;
  unsigned mode = 0;
  // Bytes that were in the current file before this object wrote to it
  // (another run's lines); the size limit counts them too.
  std::atomic<unsigned long> prior_bytes{0};

  // Retention of rotated files; 0 means no limit.
  std::atomic<unsigned long> max_file_count{0};
  std::atomic<unsigned long> max_total_size{0};
  std::atomic<unsigned long> max_file_age{0};
  // Lost-line accounting: every counted piece whose write failed, and,
  // when the record is on, what the next record reports (under the write
  // lock; `record_pending` is the write path's one relaxed test).
  std::atomic<unsigned long> lost_count{0};
  std::atomic<bool> lost_lines_record{false};
  std::atomic<bool> record_pending{false};
  unsigned long pending_lost = 0;
  timeval first_lost{};
  int last_error = 0;
  bool fragment = false;  // the last failure left a piece without CR LF
  // Following external rotation, rotation by time, tail-safe rotation.
  std::atomic<bool> reopen{false};
  std::atomic<unsigned> reopen_interval{0};
  std::atomic<bool> reopen_requested{false};
  std::atomic<unsigned> rotate_time{0};
  std::atomic<bool> tailsafe{false};
  std::atomic<bool> iso_time{false};  // dated time field

  // The flush thread's own bookkeeping (only it and the swap touch these,
  // both under the rotation lock).
  bool wake_requested = false;       // under flush_mutex: a request is due
  time_t file_started = 0;           // when the current file began
  time_t next_boundary = 0;          // next time rotation; 0: not computed
  unsigned long header_bytes = 0;    // the current file's header
  unsigned long last_seen_size = 0;  // for a copytruncate
  int name_missing = 0;              // checks in a row without a live name
  time_t next_reopen_check = 0;
};

// Puts a log on, and takes it off, the list of live logs that fork()
// hands to the child.
void enlist(CQel_Log& log);
void delist(CQel_Log& log);

// The engine's way to a log's private state.
struct LogAccess {
  static LogState& state(CQel_Log& log) { return *log.state_; }
};

}  // namespace qellog

#endif  // QELLOG_SRC_LOG_LOG_STATE_H
