// Listing a log's rotated files with the library's own name pattern.
#include "log_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "log/file_format.h"

namespace qellog_tool {

std::vector<RotatedFile> rotated_files(const std::string& live_path) {
  std::vector<RotatedFile> out;
  size_t dir_len = 0;
  char stem[1024];
  char ext[16];
  if (!qellog::split_last_component(live_path.c_str(), &dir_len, stem,
                                    sizeof stem, ext, sizeof ext)) {
    return out;
  }
  const std::string dir = dir_len == 0 ? "." : live_path.substr(0, dir_len);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    qellog::RotatedStamp stamp;
    if (!qellog::parse_rotated_name(e->d_name, stem, ext, &stamp)) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    const std::string path =
        dir_len == 0 ? e->d_name : live_path.substr(0, dir_len) + e->d_name;
    out.push_back({path, stamp.key(), st.st_dev, st.st_ino, st.st_size});
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const RotatedFile& a, const RotatedFile& b) {
              return a.key < b.key || (a.key == b.key && a.path < b.path);
            });
  return out;
}

}  // namespace qellog_tool
