// Writes one {}-formatted line into a log of its own through the installed
// qellog/format.h.
//
// Usage: format_consumer <log file> <word>
#include <fcntl.h>
#include <qellog/format.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  CQel_Log log(argv[1], O_WRONLY | O_CREAT, 0644);
  qellog::log(log, LOGBIT_INFO, "{} {:03d}", argv[2], 7);
  return log.get_filehandle() < 0 ? 1 : 0;
}
