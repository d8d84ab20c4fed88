#include "base/folder_posix.h"

#include <dirent.h>
#include <unistd.h>

namespace morvanix {

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  return names;
}

std::string LinkTarget(const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  // A target that fills the buffer may have been cut short: none rather than a wrong one.
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
  return std::string(target, static_cast<std::size_t>(n));
}

}  // namespace morvanix
