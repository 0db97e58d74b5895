// A host that uses the log class directly: one log file with a start
// header, a version banner, lines with every prefix field, a time-stamp
// line and the end trailer. Prints the file when done.
//
//   engine_demo [directory]     (default: a fresh directory under /tmp,
//                                removed again at the end)
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "qellog/log.h"

int main(int argc, char** argv) {
  std::string dir;
  const bool own_dir = argc <= 1;
  if (!own_dir) {
    dir = argv[1];
  } else {
    char tmpl[] = "/tmp/qellog_demo_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    dir = tmpl;
  }
  const std::string path = dir + "/engine_demo.log";
  {
    CQel_Log log(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log.get_filehandle() == -1) {
      std::fprintf(stderr, "cannot open %s\n", path.c_str());
      return 1;
    }
    log.set_lib_desc("shows every piece of a log file");
    log.set_lib_vers("engine_demo", "1.0.0", __DATE__);

    log.writelog(LOGBIT_INFO, "no prefix fields: the default mask 3");
    log.set_logbits(LOGBIT_TIME | LOGBIT_ERROR | LOGBIT_INFO);
    log.writelog(LOGBIT_INFO, "time of day");
    log.set_logbits(LOGBIT_TIME | LOGBIT_DELTA | LOGBIT_PID_TID | LOGBIT_CPU | 3);
    log.writelog(LOGBIT_INFO, "time, elapsed, pid:tid and processor");
    log.writelog(LOGBIT_INFO, 0x2a, "the same with a value field (%s)", "hex");
    log.writelog(LOGBIT_ERROR, "an error line: %d", -1);
    log.writelog(0x80, "dropped: class 0x80 is not in the mask");
    log.writetime();
    log.start_time_mess();
    usleep(1500);
    log.writelog(LOGBIT_INFO, "the stopwatch measured %.3f ms", log.stop_time_mess());
  }  // the destructor writes the end trailer

  std::cout << "== " << path << " (CR LF line ends)\n" << std::ifstream(path).rdbuf();
  if (own_dir) std::filesystem::remove_all(dir);
  return 0;
}
