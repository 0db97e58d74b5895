// Placement of the write path's code. A line pays one write(2), and on a
// kernel that isolates its page tables every system call costs the
// process its TLB: each code page the next line touches is looked up
// again. The functions that every line runs are marked hot, which puts
// them together in .text.hot, on as few pages as they fit in.
#ifndef QELLOG_SRC_LOG_HOT_PATH_H
#define QELLOG_SRC_LOG_HOT_PATH_H

#define QELLOG_HOT __attribute__((hot))

#endif  // QELLOG_SRC_LOG_HOT_PATH_H
