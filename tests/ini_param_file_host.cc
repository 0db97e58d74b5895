// Installed setuid root by ini_param_file_test and run by an unprivileged
// user: reads the configuration of the base name argv[1] the way a
// privileged host does and prints what it ran as and what it got.
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>

#include "qellog/ini.h"

int main(int argc, char** argv) {
  CQel_ini ini(argc > 1 ? argv[1] : "app");
  char path[1024] = "";
  ini.get_ini_filename(path, sizeof path);
  CQel_Log* log = ini.create_log_from_ini();
  unsigned bits = 0;
  const unsigned rc = ini.get_general_bits_from_ini(bits);
  std::printf("euid %u secure %lu ini %s log %d general 0x%x\n", geteuid(), getauxval(AT_SECURE),
              path, log != nullptr ? 1 : 0, rc);
  delete log;
  return 0;
}
