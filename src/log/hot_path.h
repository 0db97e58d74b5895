// Placement of the write path's code. The functions that every line runs
// are marked hot, which puts them together in .text.hot: a line's own
// instructions then lie on a few pages instead of across the library,
// which helps when each line's write(2) has left the caches to the kernel.
#ifndef QELLOG_SRC_LOG_HOT_PATH_H
#define QELLOG_SRC_LOG_HOT_PATH_H

#define QELLOG_HOT __attribute__((hot))

#endif  // QELLOG_SRC_LOG_HOT_PATH_H
