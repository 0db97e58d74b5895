// The public object's members for how its lines look: the names of the
// host's classes, the line length, the line end, and the writer of a text
// that the caller formatted (qellog/format.h).
#include <algorithm>

#include "log/flush.h"
#include "log/hot_path.h"
#include "log/line_format.h"
#include "log/log_state.h"
#include "log/message.h"
#include "log/sync.h"
#include "qellog/log.h"

using qellog::load;

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// The name, after choosing the line end of the log about to be built on it.
const char* with_line_end(const char* name, unsigned lineend) {
  qellog::set_next_line_end(lineend == LINEEND_LF);
  return name;
}

}  // namespace

CQel_Log::CQel_Log(const char* name, int flags, unsigned mode, unsigned lineend)
    : CQel_Log(with_line_end(name, lineend), flags, mode) {}

bool CQel_Log::set_classname(unsigned bit, const char* name) {
  return state_->name_class(bit, name);
}

const char* CQel_Log::get_classname(unsigned bit) {
  const qellog::ClassNames* names = state_->class_names.load(std::memory_order_acquire);
  if (names == nullptr || !qellog::nameable_class_bit(bit)) return nullptr;
  return names->of(bit);
}

void CQel_Log::set_maxlinelength(unsigned long length) {
  state_->line_limit.store(std::clamp<size_t>(length, qellog::kLineTextMax, qellog::kLineTextLimit),
                           kRelaxed);
}

unsigned long CQel_Log::get_maxlinelength() { return state_->line_limit.load(kRelaxed); }

void CQel_Log::set_lineend(unsigned lineend) {
  state_->lf_only.store(lineend == LINEEND_LF, kRelaxed);
}

unsigned CQel_Log::get_lineend() {
  return state_->lf_only.load(kRelaxed) ? LINEEND_LF : LINEEND_CRLF;
}

QELLOG_HOT bool CQel_Log::passes_mask(unsigned flags) {
  return !qellog::drops_message(*this, flags, load(logbits));
}

QELLOG_HOT void CQel_Log::writetext(unsigned flags, const char* text, unsigned long len) {
  const unsigned bits = load(logbits);
  if (qellog::drops_message(*this, flags, bits)) return;
  if (qellog::write_ready_text(*this, flags, bits, text, len)) qellog::raise_flush(*this);
}
