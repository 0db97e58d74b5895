// Hazard slots that keep the process log alive under the calls using it.
#include "api/log_guard.h"

#include <pthread.h>

#include <cstddef>
#include <new>
#include <thread>

namespace qellog {

// One slot per thread that has called into a live process log. A slot has
// a cache line of its own: its owner stores into it on every call, and a
// shared line would turn those stores into traffic between cores.
struct alignas(64) HazardSlot {
  std::atomic<CQel_Log*> held{nullptr};
  std::atomic<bool> owned{false};
  HazardSlot* next = nullptr;  // fixed before the slot enters the list
};

namespace {

// Slots are never freed, only handed back for reuse: a tear-down may be
// walking the list at any moment, and so may the fork handler. The first
// ones come from static storage, which goes away with the library; only a
// process with more live logging threads than that allocates, and those
// slots are lost if the library is unloaded.
constexpr size_t kStaticSlots = 64;
HazardSlot g_static_slots[kStaticSlots];
std::atomic<size_t> g_static_slots_used{0};
std::atomic<HazardSlot*> g_slots{nullptr};
std::mutex g_setup_mutex;

pthread_key_t g_exit_key;
std::atomic<bool> g_exit_key_ready{false};
bool g_fork_handlers_installed = false;  // guarded by g_setup_mutex

thread_local HazardSlot* t_slot = nullptr;
// Set once the thread-exit key handed this thread's slot back. Calls that
// come later on the same thread (from other exit-time destructors) must not
// claim a slot that nobody would hand back again.
thread_local bool t_slot_released = false;

// Thread-exit destructor of the key. A key is used rather than a
// thread_local object with a destructor: glibc keeps a library with pending
// thread_local destructors loaded, so dlclose() from a host that logged on
// its main thread would neither unload the library nor run its unload hook.
void release_slot_at_thread_exit(void* arg) {
  auto* slot = static_cast<HazardSlot*>(arg);
  slot->held.store(nullptr, std::memory_order_release);
  slot->owned.store(false, std::memory_order_release);
  t_slot = nullptr;
  t_slot_released = true;
}

HazardSlot* claim_slot() {
  for (HazardSlot* s = g_slots.load(std::memory_order_acquire); s != nullptr; s = s->next) {
    bool expected = false;
    if (!s->owned.load(std::memory_order_relaxed) &&
        s->owned.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      return s;
    }
  }
  const size_t index = g_static_slots_used.fetch_add(1, std::memory_order_relaxed);
  HazardSlot* slot = index < kStaticSlots ? &g_static_slots[index] : new (std::nothrow) HazardSlot;
  if (slot == nullptr) return nullptr;
  slot->owned.store(true, std::memory_order_relaxed);
  // Sequentially consistent, like the scan's read of the head: a slot that
  // published a log before the log was retired is then always found.
  HazardSlot* head = g_slots.load(std::memory_order_relaxed);
  do {
    slot->next = head;
  } while (!g_slots.compare_exchange_weak(head, slot, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
  return slot;
}

HazardSlot* this_thread_slot() {
  if (t_slot != nullptr) return t_slot;
  if (t_slot_released) return nullptr;
  HazardSlot* slot = claim_slot();
  if (slot == nullptr) return nullptr;
  // Without the key (none could be created, or the library is being
  // unloaded) the slot stays owned for good: 64 bytes per such thread.
  if (g_exit_key_ready.load(std::memory_order_acquire)) {
    pthread_setspecific(g_exit_key, slot);
  }
  t_slot = slot;
  return slot;
}

// fork() copies only the calling thread. Slots of the other threads would
// stay owned, and one caught holding the log would make every tear-down in
// the child wait for a thread that does not exist there. Holding the set-up
// mutex across fork() also keeps a half-done set-up out of the child.
void lock_before_fork() { g_setup_mutex.lock(); }
void unlock_in_parent() { g_setup_mutex.unlock(); }
void reset_slots_in_child() {
  for (HazardSlot* s = g_slots.load(std::memory_order_relaxed); s != nullptr; s = s->next) {
    if (s == t_slot) continue;
    s->held.store(nullptr, std::memory_order_relaxed);
    s->owned.store(false, std::memory_order_relaxed);
  }
  g_setup_mutex.unlock();
}

__attribute__((constructor)) void install_guard_hooks() {
  std::lock_guard<std::mutex> lock(g_setup_mutex);
  if (!g_fork_handlers_installed) {
    pthread_atfork(&lock_before_fork, &unlock_in_parent, &reset_slots_in_child);
    g_fork_handlers_installed = true;
  }
  if (!g_exit_key_ready.load(std::memory_order_relaxed) &&
      pthread_key_create(&g_exit_key, &release_slot_at_thread_exit) == 0) {
    g_exit_key_ready.store(true, std::memory_order_release);
  }
}

// Threads that exit after an unload must not find a destructor that points
// into unmapped code; their slots simply go with the library.
__attribute__((destructor)) void remove_guard_hooks() {
  std::lock_guard<std::mutex> lock(g_setup_mutex);
  if (g_exit_key_ready.exchange(false)) pthread_key_delete(g_exit_key);
}

}  // namespace

std::mutex& setup_mutex() { return g_setup_mutex; }

LogBorrow::LogBorrow(const std::atomic<CQel_Log*>& source) {
  CQel_Log* log = source.load(std::memory_order_acquire);
  if (log == nullptr) return;
  slot_ = this_thread_slot();
  if (slot_ == nullptr) {
    // Tear-down holds this mutex from the swap to the delete.
    g_setup_mutex.lock();
    holds_setup_mutex_ = true;
    log_ = source.load(std::memory_order_acquire);
    return;
  }
  // The slot is published before `source` is read again. A retire_log()
  // whose swap comes after that read finds the slot holding the log and
  // waits; one whose swap came before makes the read see another value.
  for (;;) {
    slot_->held.store(log, std::memory_order_seq_cst);
    CQel_Log* now = source.load(std::memory_order_seq_cst);
    if (now == log) break;
    log = now;
    if (log == nullptr) {
      slot_->held.store(nullptr, std::memory_order_release);
      slot_ = nullptr;
      return;
    }
  }
  log_ = log;
}

LogBorrow::~LogBorrow() {
  if (slot_ != nullptr) slot_->held.store(nullptr, std::memory_order_release);
  if (holds_setup_mutex_) g_setup_mutex.unlock();
}

CQel_Log* retire_log(std::atomic<CQel_Log*>& source) {
  CQel_Log* log = source.exchange(nullptr, std::memory_order_seq_cst);
  if (log == nullptr) return nullptr;
  // A borrower holds the log for one line or one setting, so this wait is
  // short; a thread that exited or was cancelled inside a call has cleared
  // its slot on the way out.
  for (HazardSlot* s = g_slots.load(std::memory_order_seq_cst); s != nullptr; s = s->next) {
    while (s->held.load(std::memory_order_seq_cst) == log) {
      std::this_thread::yield();
    }
  }
  return log;
}

}  // namespace qellog
