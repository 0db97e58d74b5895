// Listing a log's rotated files and judging its live name.
#include "config/log_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "log/file_format.h"

namespace qellog {

std::vector<RotatedLogFile> list_rotated_files(const std::string& live_path) {
  std::vector<RotatedLogFile> out;
  size_t dir_len = 0;
  char stem[1024];
  char ext[16];
  if (!split_last_component(live_path.c_str(), &dir_len, stem, sizeof stem, ext, sizeof ext)) {
    return out;
  }
  const std::string dir = dir_len == 0 ? "." : live_path.substr(0, dir_len);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    RotatedStamp stamp;
    if (!parse_rotated_name(e->d_name, stem, ext, &stamp)) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    out.push_back(
        {live_path.substr(0, dir_len) + e->d_name, stamp.key(), st.st_dev, st.st_ino, st.st_size});
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const RotatedLogFile& a, const RotatedLogFile& b) {
    return a.key < b.key || (a.key == b.key && a.path < b.path);
  });
  return out;
}

bool live_name_rotatable(int dir_fd, const char* leaf) {
  struct stat st;
  if (fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(st.st_mode);
}

}  // namespace qellog
