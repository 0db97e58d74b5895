#ifndef QELLOG_QELLOG_H
#define QELLOG_QELLOG_H

#include "qellog/api.h"
#include "qellog/ini.h"
#include "qellog/log.h"

#endif  // QELLOG_QELLOG_H
