// A host program as it uses the process-wide interface: it records its
// identity, initialises the log from its parameter file, writes from
// several threads while the flush thread rotates a small file, and tears
// the log down. Prints every file the log produced, in the order they were
// written: the rotated files, oldest first, then the live file.
//
//   host_demo [directory]       (default: a fresh directory under /tmp,
//                                removed again at the end)
// The directory serves as HOME, never the user's own: the demo writes
// $HOME/.config/qel/host_demo_param.ini itself.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "qellog/api.h"

namespace {

std::string make_demo_home(const char* given) {
  char tmpl[] = "/tmp/qellog_host_demo_XXXXXX";
  if (given == nullptr && mkdtemp(tmpl) == nullptr) return "";
  const std::string home = given != nullptr ? given : tmpl;
  mkdir((home + "/.config").c_str(), 0755);
  mkdir((home + "/.config/qel").c_str(), 0755);
  std::ofstream ini(home + "/.config/qel/host_demo_param.ini");
  ini << "; the log of host_demo\n"
         "[LOGGING]\n"
         "Logpath="
      << home
      << "/logs\n"
         "Logname=host_demo.log\n"
         "LogFileFlags=O_CREAT|O_TRUNC\n"
         "LogFilePermission=0640\n"
         "; error and trace classes, time of day and thread ids\n"
         "Logging=0x5003\n"
         "Flushcount=20\n"
         "Maxfilesize=2kb\n"
         "Flushthread=yes\n";
  return home;
}

void worker(int id) {
  for (int i = 0; i < 40; ++i) {
    writelog(LOGBIT_INFO, &id, "worker %d step %d", id, i);
    // Paced like real work, so that the flush thread gets to rotate.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// The log's files in the order they were written: rotated names carry
// their time stamp, so they sort by time; the live file comes last.
std::vector<std::string> files_in_time_order(const std::string& dir) {
  std::vector<std::string> rotated;
  bool live = false;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "host_demo.log") {
        live = true;
      } else if (name.compare(0, 10, "host_demo_") == 0) {
        rotated.push_back(name);
      }
    }
    closedir(d);
  }
  std::sort(rotated.begin(), rotated.end());
  if (live) rotated.push_back("host_demo.log");
  return rotated;
}

void print_files(const std::string& logs) {
  const std::vector<std::string> files = files_in_time_order(logs);
  for (const std::string& f : files) {
    std::cout << "== " << logs << "/" << f << "\n" << std::ifstream(logs + "/" + f).rdbuf();
  }
  std::cout << "== " << files.size()
            << " files (the rotated files, oldest first, then the live log)\n";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string home = make_demo_home(argc > 1 ? argv[1] : nullptr);
  if (home.empty()) return 1;
  setenv("HOME", home.c_str(), 1);

  set_logversions("host_demo", "2.0.0", "writes from three threads into a rotating log", __DATE__);
  init_logging("host_demo");
  if (get_logparam_logbits() == 0) {
    std::fprintf(stderr, "no log: %s/.config/qel/host_demo_param.ini missing?\n", home.c_str());
    return 1;
  }
  writelog(LOGBIT_INFO, nullptr, "three workers start");
  std::vector<std::thread> threads;
  for (int id = 1; id <= 3; ++id) threads.emplace_back(worker, id);
  for (std::thread& t : threads) t.join();
  writelog(LOGBIT_ERROR, nullptr, "an error line, tagged");
  exit_logging();

  print_files(home + "/logs");
  if (argc <= 1) std::filesystem::remove_all(home);
  return 0;
}
