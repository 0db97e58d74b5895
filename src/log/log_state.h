// The engine's private state of one log. It lives behind one pointer of
// CQel_Log, so the object's size and the offsets of its public fields stay
// the same for hosts whatever the engine keeps.
#ifndef QELLOG_SRC_LOG_LOG_STATE_H
#define QELLOG_SRC_LOG_LOG_STATE_H

#include <pthread.h>

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
