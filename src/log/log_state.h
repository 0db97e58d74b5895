// The engine's private state of one log. It lives behind one pointer of
// CQel_Log, so the object's size and the offsets of its public fields stay
// the same for hosts whatever the engine keeps.
//
// Each field says what guards it: a lock (held for every write of the
// field, and for every read that is not an atomic's), an atomic, or the
// rule that only one thread touches it. "Fixed" fields are set by the
// constructor before the object is shared and only read afterwards. The
// lock order is in docs/design.md.
#ifndef QELLOG_SRC_LOG_LOG_STATE_H
#define QELLOG_SRC_LOG_LOG_STATE_H

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "log/line_format.h"
#include "log/line_text.h"
#include "log/retention_policy.h"
#include "qellog/log.h"

namespace qellog {

// The size of a cache line, for fields that threads on different cores
// would otherwise take from each other.
constexpr size_t kCacheLine = 64;

// Writes in progress outside the write lock, counted by descriptor
// generation (its lowest bit). Each thread counts on a stripe of its own
// cache line, so that a writer leaving its write(2) does not contend with
// the others; `count` adds the stripes up. A thread enters under the
// write lock and leaves without it: once a generation is no longer the
// current one its count only falls, so a sum of zero stays zero.
class InFlight {
 public:
  void enter(unsigned generation) { slot(generation).fetch_add(1, std::memory_order_relaxed); }
  void leave(unsigned generation) { slot(generation).fetch_sub(1, std::memory_order_release); }
  unsigned count(unsigned generation) const;
  // In a child after fork(): the writes of other threads stay in the parent.
  void reset();

 private:
  static constexpr unsigned kStripes = 8;
  struct alignas(kCacheLine) Stripe {
    std::atomic<unsigned> n[2] = {};
  };
  std::atomic<unsigned>& slot(unsigned generation);
  Stripe stripes_[kStripes];
};

struct LogState {
  LogState();
  ~LogState();
  LogState(const LogState&) = delete;
  LogState& operator=(const LogState&) = delete;

  // --- The write path ---------------------------------------------------
  // Serialises, per log, the steps of a line from its clock reading to its
  // accounting, and the swap of the descriptor at rotation. Never held
  // across a write(2), and no other lock is taken while it is held.
  //
  // The lock shares its cache line only with the generation, which a swap
  // changes under it; what the write path only reads, and the counts that
  // writers change outside the lock, sit on lines of their own, so that a
  // thread leaving its write(2) never takes the line from the thread that
  // holds the lock.
  alignas(kCacheLine) pthread_mutex_t write_lock;
  // The descriptor's generation, bumped by each swap (write_lock). Writes
  // in progress outside the write lock are counted by generation (its
  // lowest bit; InFlight): a swap closes the previous descriptor only once
  // the writes that took it have returned.
  unsigned fd_generation = 0;
  InFlight writes_in_flight;
  // After a failed write the protocol turns careful until a piece lands
  // whole, and at least until `careful_until` (a disk that filled once
  // tends to fill again at once): careful pieces are written one at a
  // time (careful_mutex), each after every piece reserved before the
  // protocol turned careful has returned and noted what happened to it, so
  // that the one after a cut-short piece knows and starts with CR LF.
  // `careful` (atomic) is stored under write_lock and read without it just
  // before a plain piece's write(2); `careful_until` is under write_lock.
  // careful_in_flight (atomic) counts, by generation, the careful pieces
  // among writes_in_flight.
  alignas(kCacheLine) std::atomic<bool> careful{false};
  time_t careful_until = 0;
  // Pieces noted as cut short, ever (write_lock). A careful piece reads it
  // when it decides on its CR LF and again when it settles: a piece cut
  // short in between may have landed after it, so the file may end inside
  // that one, and neither the mark nor the careful state is given up.
  unsigned cut_pieces = 0;
  alignas(kCacheLine) std::atomic<unsigned> careful_in_flight[2] = {};
  std::mutex careful_mutex;
  // Bytes that were in the current file before this object wrote to it
  // (another run's lines); the size limit counts them too. Atomic, stored
  // under write_lock.
  std::atomic<unsigned long> prior_bytes{0};

  // --- Flush requests (log/flush_request.h) ------------------------------
  // Held by the flush in progress on this log (atomic); while set, further
  // flush requests are not raised and the count carries on.
  std::atomic<bool> flush_busy{false};
  // A request is due for the flush thread (CQel_Log::flush_mutex).
  bool wake_requested = false;
  // The strict size limit. The piece that takes the current file to its
  // limit asks for a rotation (rotation_asked, atomic, counted under
  // write_lock); the flush thread takes what was asked when it starts a
  // turn and answers it when the turn ends (rotation_answered, atomic,
  // stored under bound_mutex). A writer whose piece found the file at twice
  // its limit waits on bound_cond until the rotation asked before it has
  // been answered.
  std::atomic<unsigned> rotation_asked{0};
  std::atomic<unsigned> rotation_answered{0};
  std::mutex bound_mutex;
  std::condition_variable bound_cond;
  // Serialises rotations, reopening and syncs, so that an fsync never
  // meets a descriptor that a rotation closes. Writers never take it.
  std::mutex rotate_mutex;

  // --- Settings of the opt-in features (atomics) ---------------------------
  // Read by every line: kept with the write path's fields, on the same
  // pages, not after the names below.
  // Retention of rotated files; 0 means no limit.
  std::atomic<unsigned long> max_file_count{0};
  std::atomic<unsigned long> max_total_size{0};
  std::atomic<unsigned long> max_file_age{0};
  std::atomic<bool> lost_lines_record{false};
  // Following external rotation, rotation by time, tail-safe rotation, the
  // dated time field, the strict size limit.
  std::atomic<bool> reopen{false};
  std::atomic<unsigned> reopen_interval{0};
  std::atomic<bool> reopen_requested{false};
  std::atomic<unsigned> rotate_time{0};
  std::atomic<bool> tailsafe{false};
  // Each file is born under its rotated name and the live name is a link
  // to it (generations.h); retention keeps a file until its successor is
  // ship_lag seconds old.
  std::atomic<bool> generations{false};
  std::atomic<unsigned long> ship_lag{0};
  std::atomic<bool> iso_time{false};
  std::atomic<bool> strict_size{false};
  // How lines look: the longest text of a line (Maxlinelength), LF line
  // ends, and the names of the host's classes: a table replaced whole under
  // write_lock and never changed once published (null while none is
  // named); the tables it replaced go with the log.
  std::atomic<size_t> line_limit{kLineTextMax};
  std::atomic<bool> lf_only{false};
  std::atomic<const ClassNames*> class_names{nullptr};

  // --- Lost pieces (log/lost_lines.h) --------------------------------------
  // Every counted piece whose write failed (atomic), and, when the record
  // is on, what the next record reports (under write_lock; `record_pending`
  // is the write path's one relaxed test, stored under write_lock).
  std::atomic<unsigned long> lost_count{0};
  std::atomic<bool> record_pending{false};
  unsigned long pending_lost = 0;
  timeval first_lost{};
  int last_error = 0;

  // --- Where the log lives (rotate_mutex) --------------------------------
  // Set by the constructor, and changed only by a move of the log to
  // another file (log_move.h), which holds rotate_mutex; every reader holds
  // it too. `sigpipe`, which writers read, is changed under write_lock as
  // well, together with the descriptor, and so are the public names
  // (filename, filename_base, extension).
  //
  // Its directory, held open so that rotation acts there whatever the
  // host's working directory becomes, and the live file's name in it,
  // split for rotated names ("app" + ".log").
  int dir_fd = -1;
  char leaf[1024] = {};
  char stem[1024] = {};
  char ext[16] = {};
  // The directory may hold names planted by another user: the file is then
  // never opened through a symlink, and only a regular file of the
  // effective user may become the live file.
  bool nofollow = false;
  // The live name is not a regular file (a symlink, a device, a FIFO, a
  // socket): the log writes to what it opened and never rotates, reopens
  // or renames it.
  bool fixed_target = false;
  // The file has no storage to sync (a FIFO, a socket, a terminal).
  bool no_sync = false;
  // The file is a pipe or a socket, whose reader may go away: writes to it
  // keep the SIGPIPE they may raise from the host (write_loop.h). Each
  // piece takes it with its descriptor (Append).
  bool sigpipe = false;
  // The open flags and permission bits the log was built with; a rotation
  // creates its new file with the same bits.
  int open_flags = 0;
  unsigned mode = 0;
  // Bumped by every move, so that what the flush thread remembers of the
  // old directory (its retention listing) is dropped.
  unsigned place_generation = 0;
  // The file got the host's version banner (set_lib_vers(), under
  // write_lock): a move gives the new file one too.
  bool has_banner = false;

  // --- The current file ---------------------------------------------------
  // Restarted by file_started_locked() at every new current file.
  // Under write_lock: when it began, the next time rotation (0: not
  // computed), its header's bytes, and whether it ends inside a piece that
  // a write cut short (the next piece then starts with CR LF).
  time_t file_started = 0;
  time_t next_boundary = 0;
  unsigned long header_bytes = 0;
  bool fragment = false;
  // The strict size limit's view of it, under write_lock: whether a
  // rotation was asked for it, and the size (with the bytes of other
  // writers) from which the next piece looks at how large the file really
  // is, since other processes may write to it too (0: at the next piece).
  bool limit_asked = false;
  unsigned long next_size_look = 0;
  // Refusals of the own-file rule already reported for it, one bit per
  // cause (kRefused*), each said once per file (atomic).
  std::atomic<unsigned> refusals_said{0};
  // Under rotate_mutex: its size at the last look, to notice a
  // copytruncate; checks in a row that found no live name.
  unsigned long last_seen_size = 0;
  int name_missing = 0;
  // Under rotate_mutex: rotations that failed since the last one that
  // succeeded, and the causes already said (a step and its errno each), so
  // that a rotation that keeps failing says why once per cause.
  unsigned long failed_rotations = 0;
  int failures_said[8] = {};
  unsigned failures_said_count = 0;
  // Under rotate_mutex: the live name was taken by what may not become the
  // live file, so the current file has a rotated name of its own
  // (`off_leaf`), until a file under the live name takes over.
  bool off_name = false;
  char off_leaf[1200] = {};
  // Under rotate_mutex: the current file's own name in the generations
  // layout ("" while it has none).
  std::string gen_leaf;

  // --- The flush thread's own ----------------------------------------------
  // Touched only by the thread that runs the upkeep (the flush thread):
  // the next interval check of reopening, and what retention passes
  // remember. Files this process rotated within the last minute, by name
  // and identity, are under rotate_mutex: retention never holds them back
  // as young.
  time_t next_reopen_check = 0;
  // The wall clock at the last look of time rotation (under write_lock,
  // with next_boundary): a later reading below it is a step backwards.
  time_t clock_seen = 0;
  RetentionMemory retention;
  // The place_generation that `retention` was gathered in.
  unsigned retention_place = 0;
  std::vector<KnownFile> rotated_here;

  // Every live log is on one list (under the list's mutex, in
  // fork_safety.cc), so that fork() can hand each of them to the child in
  // a usable state.
  CQel_Log* prev_log = nullptr;
  CQel_Log* next_log = nullptr;

  // At every new current file, under write_lock (and under rotate_mutex
  // once the log is shared): restarts the bookkeeping of the file, which
  // began at `began` and holds `header` bytes of this object's after
  // `prior` bytes of earlier writers, with no piece cut short and nothing
  // refused yet.
  void file_started_locked(unsigned long header, unsigned long prior, time_t began);

  // Gives `bit` the class name `name` (null: takes its name away) in a new
  // table. False, changing nothing, when the bit or the name is refused
  // (class_name_problem()). Takes write_lock.
  bool name_class(unsigned bit, const char* name);

  // True the first time `cause` is met for the current file.
  bool first_refusal(unsigned cause) { return (refusals_said.fetch_or(cause) & cause) == 0; }
};

// Causes of the own-file rule's refusals, said once per file each.
constexpr unsigned kRefusedNotRegular = 1;  // a symlink, device, FIFO, socket
constexpr unsigned kRefusedForeign = 2;     // another user's file
constexpr unsigned kRefusedHidden = 4;      // a hidden name not the log's own
constexpr unsigned kRefusedFixed = 8;       // rotation off for the whole log
constexpr unsigned kRefusedLinkName = 16;   // a lone file under the generations' link name

// The private state of a log under construction. Its line end is the one
// chosen for the next log built on this thread (set_next_line_end()), CR
// LF when none was; the choice is used up either way.
LogState* new_log_state();
// Chooses the line end of the next log built on this thread, for its start
// header: the set-up and the constructor that is given one do.
void set_next_line_end(bool lf_only);

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
