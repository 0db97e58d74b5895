// Writes one line into a log of its own and prints the parameter file name
// that the library resolves for it: the class, the reader and the free
// functions, each reached through the installed headers and library.
//
// Usage: consumer <log file> <message>
#include <fcntl.h>
#include <qellog/qellog.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  CQel_Log* log = new CQel_Log(argv[1], O_WRONLY | O_CREAT, 0644);
  if (log->get_filehandle() < 0) return 1;
  log->writelog(LOGBIT_INFO, "%s", argv[2]);
  delete log;

  char name[1024];
  CQel_ini ini("consumer");
  if (ini.get_ini_filename(name, sizeof name) != INI_SUCCESS) return 1;
  std::printf("%s\n", name);

  // Without a parameter file the process-wide log stays closed.
  char base[] = "consumer";
  init_logging(base);
  const bool quiet = get_logparam_filehandle() == 0;
  exit_logging();
  return quiet ? 0 : 1;
}
