#include "log/own_file.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "log/log_files.h"
#include "log/log_path.h"
#include "log/message.h"
#include "log/sync.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

// Past a minute the young guard no longer holds a file back anyway; the
// cap only bounds a rotation storm's list.
constexpr size_t kMaxRemembered = 1024;

const char* refusal_text(unsigned cause) {
  switch (cause) {
    case kRefusedFixed:
      return "%s: %s is not a regular file, rotation is off";
    case kRefusedNotRegular:
      return "%s: %s is not a regular file, left as it is";
    case kRefusedHidden:
      return "%s: %s is not the log's own file, rotating in the usual order";
    default:
      return "%s: %s is not the log's own file, left as it is";
  }
}

}  // namespace

void refuse_once(CQel_Log& log, unsigned cause, const char* fn, const char* name) {
  if (!LogAccess::state(log).first_refusal(cause)) return;
  diagnostic(log, refusal_text(cause), fn, name != nullptr ? name : log.filename);
}

bool rotation_is_off(CQel_Log& log) {
  if (!LogAccess::state(log).fixed_target) return false;
  refuse_once(log, kRefusedFixed, "create_next_file");
  return true;
}

bool live_name_may_change(CQel_Log& log, const char* fn) {
  LogState& s = LogAccess::state(log);
  switch (look_at_live_name(s, load(log.hflog))) {
    case LiveName::kNotRegular:
      refuse_once(log, kRefusedNotRegular, fn);
      return false;
    case LiveName::kForeign:
      refuse_once(log, kRefusedForeign, fn);
      return false;
    default:
      return true;
  }
}

bool live_name_taken(const LogState& s, int fd) {
  const LiveName name = look_at_live_name(s, fd);
  return name == LiveName::kNotRegular || name == LiveName::kForeign;
}

void remember_rotated(LogState& s, const char* leaf, unsigned long long wrote) {
  struct stat st;
  if (sys.fstatat(s.dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  const time_t now = sys.wall_clock();
  std::vector<KnownFile>& list = s.rotated_here;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [now](const KnownFile& f) { return f.when < now - kYoungSeconds; }),
             list.end());
  if (list.size() >= kMaxRemembered) list.erase(list.begin());
  try {
    list.push_back(KnownFile{leaf, st.st_dev, st.st_ino, now, wrote});
  } catch (const std::bad_alloc&) {
    // Unremembered, the file is only held back as young for a minute.
  }
}

bool may_adopt_hidden(const LogState& s, const char* hidden, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return false;
  if (!s.nofollow) return true;
  return st.st_uid == geteuid() &&
         begins_with_own_header(s.dir_fd, hidden, st.st_dev, st.st_ino, s.leaf);
}

}  // namespace qellog
