#include "bench_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace qbench {
namespace {

int format_line(char* buf, size_t cap, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buf, cap, fmt, args);
  va_end(args);
  return n;
}

}  // namespace

bool floor_write(int fd, const char* prefix, int w, int i, bool sync) {
  char line[300];
  const int n = format_line(line, sizeof line, "%s" QBENCH_FORMAT "\r\n", prefix, w, i, kValue);
  const bool whole = write(fd, line, static_cast<size_t>(n)) == n;
  if (sync && i % 1001 == 1000) fsync(fd);
  return whole;
}

void remove_dir(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    const std::string p = dir + "/" + e->d_name;
    struct stat st;
    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      remove_dir(p);
    } else {
      unlink(p.c_str());
    }
  }
  closedir(d);
  rmdir(dir.c_str());
}

std::string fresh_dir(const std::string& case_name) {
  const char* root = std::getenv("QELLOG_BENCH_DIR");
  const std::string base = root != nullptr && *root != '\0' ? root : "qellog-bench-out";
  mkdir(base.c_str(), 0755);
  const std::string dir = base + "/" + case_name;
  remove_dir(dir);
  mkdir(dir.c_str(), 0755);
  return dir;
}

void verify_lines(benchmark::State& state, const std::string& dir, int workers,
                  const long long* written) {
  std::vector<std::vector<unsigned char>> seen(static_cast<size_t>(workers));
  for (size_t w = 0; w < seen.size(); ++w) seen[w].assign(static_cast<size_t>(written[w]), 0);
  long long torn = 0;
  long long repeated = 0;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    state.SkipWithError("output directory missing");
    return;
  }
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      const size_t at = line.find("worker ");
      if (at == std::string::npos) continue;  // headers, banners, diagnostics
      unsigned w = 0;
      unsigned i = 0;
      int end = 0;
      if (std::sscanf(line.c_str() + at, "worker %u iteration %u value 3.250000%n", &w, &i, &end) !=
              2 ||
          end == 0 || w >= seen.size() || i >= seen[w].size()) {
        ++torn;
        continue;
      }
      const std::string rest = line.substr(at + static_cast<size_t>(end));
      if (!(rest.empty() || rest == "\r")) {
        ++torn;
        continue;
      }
      if (seen[w][i]++ != 0) ++repeated;
    }
  }
  closedir(d);
  long long missing = 0;
  for (const auto& s : seen) {
    for (unsigned char c : s) missing += c == 0;
  }
  if (missing != 0 || torn != 0 || repeated != 0) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "lines missing %lld, torn %lld, repeated %lld", missing, torn,
                  repeated);
    state.SkipWithError(msg);
  }
}

}  // namespace qbench
