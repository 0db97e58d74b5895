// Hosts allocate the log with new: its size and the offsets of its public
// fields are compiled into them. A change here breaks every host built
// against libqellog.so.1.
#include <gtest/gtest.h>

#include <cstddef>

#include "qellog/log.h"

namespace {

template <typename T>
ptrdiff_t offset(const CQel_Log& log, const T& field) {
  return reinterpret_cast<const char*>(&field) - reinterpret_cast<const char*>(&log);
}

TEST(Abi, LogObjectSizeAndFieldOffsetsNeverChange) {
  alignas(CQel_Log) static char storage[sizeof(CQel_Log)];
  const CQel_Log& log = *reinterpret_cast<const CQel_Log*>(storage);
  EXPECT_EQ(sizeof(CQel_Log), 2448u);
  EXPECT_EQ(offset(log, log.hflog), 2240);
  EXPECT_EQ(offset(log, log.curfilesize), 2328);
  EXPECT_EQ(offset(log, log.flush_cond), 2392);
}

}  // namespace
