// Settings of the opt-in features; each is read by the flush thread or the
// write path at its next use.
#include "log/log_state.h"

using qellog::LogAccess;

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

void CQel_Log::set_maxfilecount(unsigned long count) {
  LogAccess::state(*this).max_file_count.store(count, kRelaxed);
}
unsigned long CQel_Log::get_maxfilecount() {
  return LogAccess::state(*this).max_file_count.load(kRelaxed);
}
void CQel_Log::set_maxtotalsize(unsigned long size) {
  LogAccess::state(*this).max_total_size.store(size, kRelaxed);
}
unsigned long CQel_Log::get_maxtotalsize() {
  return LogAccess::state(*this).max_total_size.load(kRelaxed);
}
void CQel_Log::set_maxfileage(unsigned long days) {
  LogAccess::state(*this).max_file_age.store(days, kRelaxed);
}
unsigned long CQel_Log::get_maxfileage() {
  return LogAccess::state(*this).max_file_age.load(kRelaxed);
}
unsigned long CQel_Log::get_lostcount() {
  return LogAccess::state(*this).lost_count.load(kRelaxed);
}
void CQel_Log::set_lostlines(bool on) {
  LogAccess::state(*this).lost_lines_record.store(on, kRelaxed);
}
bool CQel_Log::get_lostlines() {
  return LogAccess::state(*this).lost_lines_record.load(kRelaxed);
}
void CQel_Log::set_reopen(bool on) {
  LogAccess::state(*this).reopen.store(on, kRelaxed);
}
bool CQel_Log::get_reopen() {
  return LogAccess::state(*this).reopen.load(kRelaxed);
}
void CQel_Log::set_reopeninterval(unsigned seconds) {
  LogAccess::state(*this).reopen_interval.store(seconds, kRelaxed);
}
unsigned CQel_Log::get_reopeninterval() {
  return LogAccess::state(*this).reopen_interval.load(kRelaxed);
}
// Only a flag: safe in a signal handler. The flush thread acts on it.
void CQel_Log::request_reopen() {
  LogAccess::state(*this).reopen_requested.store(true, kRelaxed);
}
void CQel_Log::set_rotatetime(unsigned period) {
  LogAccess::state(*this).rotate_time.store(period, kRelaxed);
}
unsigned CQel_Log::get_rotatetime() {
  return LogAccess::state(*this).rotate_time.load(kRelaxed);
}
void CQel_Log::set_tailsafe(bool on) {
  LogAccess::state(*this).tailsafe.store(on, kRelaxed);
}
bool CQel_Log::get_tailsafe() {
  return LogAccess::state(*this).tailsafe.load(kRelaxed);
}
void CQel_Log::set_isotime(bool on) {
  LogAccess::state(*this).iso_time.store(on, kRelaxed);
}
bool CQel_Log::get_isotime() {
  return LogAccess::state(*this).iso_time.load(kRelaxed);
}
void CQel_Log::set_strictsize(bool on) {
  LogAccess::state(*this).strict_size.store(on, kRelaxed);
}
bool CQel_Log::get_strictsize() {
  return LogAccess::state(*this).strict_size.load(kRelaxed);
}
