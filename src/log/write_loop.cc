#include "log/write_loop.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "log/hot_path.h"
#include "log/sys_calls.h"

namespace qellog {
namespace {

bool write_once(int fd, const iovec* pieces, int count, size_t* written) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
  ssize_t n;
  do {
    // A write cut short sets no errno: the report then says 0 rather than
    // repeating the cause of some earlier call.
    errno = 0;
    n = count == 1 ? sys.write(fd, pieces[0].iov_base, pieces[0].iov_len)
                   : sys.writev(fd, pieces, count);
  } while (n < 0 && errno == EINTR);
  *written = n > 0 ? static_cast<size_t>(n) : 0;
  return n == static_cast<ssize_t>(total);
}

// write_once() with SIGPIPE blocked in this thread; the one the write
// raised is taken back before the mask is restored.
bool write_to_pipe(int fd, const iovec* pieces, int count, size_t* written) {
  sigset_t sigpipe;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &sigpipe, &saved);
  sigset_t pending;
  sigpending(&pending);
  const bool hosts = sigismember(&pending, SIGPIPE) == 1;
  const bool ok = write_once(fd, pieces, count, written);
  const int err = errno;
  if (!ok && err == EPIPE && !hosts) {
    const timespec at_once{0, 0};
    while (sigtimedwait(&sigpipe, nullptr, &at_once) == -1 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = err;
  return ok;
}

}  // namespace

QELLOG_HOT bool write_all(int fd, const char* data, size_t len, bool* partial, bool pipe) {
  const iovec one{const_cast<char*>(data), len};
  size_t written = 0;
  const bool ok = write_pieces(fd, &one, 1, &written, pipe);
  if (partial != nullptr) *partial = written > 0;
  return ok;
}

bool write_pieces(int fd, const iovec* pieces, int count, size_t* written, bool pipe) {
  return pipe ? write_to_pipe(fd, pieces, count, written) : write_once(fd, pieces, count, written);
}

void report_write_error(const char* filename, int err) {
  std::fprintf(stderr, "Error in write to logfile %s: %d\n", filename, err);
}

}  // namespace qellog
