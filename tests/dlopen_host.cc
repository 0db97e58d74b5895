// A host that loads libqellog with dlopen(), logs through the exported
// functions and unloads it with dlclose() without calling exit_logging().
// The unload hook must have written the end trailer by the time dlclose()
// returns, and the library must really be gone.
//
// Usage: dlopen_host <library> <base name> <log file>
// Exit status 0 when all checks hold; each failed check prints one line.
#include <dlfcn.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

// Declarations only: the types of the symbols looked up below. The host
// does not link the library.
#include "qellog/api.h"

namespace {

template <typename Fn>
Fn find(void* lib, const char* mangled) {
  void* sym = dlsym(lib, mangled);
  if (sym == nullptr) std::fprintf(stderr, "dlsym %s: %s\n", mangled, dlerror());
  return reinterpret_cast<Fn>(sym);
}

std::string read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <library> <base name> <log file>\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  auto set_versions =
      find<void (*)(char*, char*, char*, char*)>(lib, "_Z15set_logversionsPcS_S_S_");
  auto init_fn = find<void (*)(char*)>(lib, "_Z12init_loggingPc");
  auto write_line = find<decltype(&writelog)>(lib, "_Z8writelogjPvPKcz");
  if (set_versions == nullptr || init_fn == nullptr || write_line == nullptr) return 1;

  char name[] = "dlopen_host", vers[] = "1.0", desc[] = "dlopen test", date[] = "today";
  set_versions(name, vers, desc, date);
  init_fn(argv[2]);
  write_line(LOGBIT_INFO, nullptr, "main thread line %d", 1);
  std::thread([write_line] { write_line(LOGBIT_INFO, nullptr, "short thread line"); }).join();

  // This thread logs, outlives the library, and exits only after the
  // unload: nothing of the library may run at its exit.
  std::mutex m;
  std::condition_variable cv;
  bool logged = false, unloaded = false;
  std::thread late([&] {
    write_line(LOGBIT_INFO, nullptr, "late thread line");
    std::unique_lock<std::mutex> lock(m);
    logged = true;
    cv.notify_all();
    cv.wait(lock, [&] { return unloaded; });
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return logged; });
  }

  int failures = 0;
  if (dlclose(lib) != 0) {
    std::fprintf(stderr, "dlclose: %s\n", dlerror());
    ++failures;
  }
  if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    std::fprintf(stderr, "library still loaded after dlclose\n");
    ++failures;
  }
  const std::string log = read_all(argv[3]);
  if (log.find("Logging ended at") == std::string::npos) {
    std::fprintf(stderr, "no end trailer after dlclose in %s\n", argv[3]);
    ++failures;
  }
  {
    std::lock_guard<std::mutex> lock(m);
    unloaded = true;
  }
  cv.notify_all();
  late.join();
  std::printf("dlopen_host: %d failed checks\n", failures);
  return failures == 0 ? 0 : 1;
}
