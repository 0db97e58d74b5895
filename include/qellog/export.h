#ifndef QELLOG_EXPORT_H
#define QELLOG_EXPORT_H

// Marks the classes and functions that make up the library's binary
// interface. Everything else in libqellog.so.1 is hidden.
#define QELLOG_API __attribute__((visibility("default")))

// Keeps a member of an exported class out of the binary interface.
#define QELLOG_LOCAL __attribute__((visibility("hidden")))

#endif  // QELLOG_EXPORT_H
