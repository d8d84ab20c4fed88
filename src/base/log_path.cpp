#include "base/log_path.h"

#include <algorithm>

namespace morvanix {

bool ComputeLogPath(std::string_view executablePath, std::span<char> logPath) {
  std::fill(logPath.begin(), logPath.end(), '\0');
  if (executablePath.empty()) return false;

  std::string_view folder = executablePath;
  const std::size_t separator = executablePath.find_last_of("\\/");
  if (separator != std::string_view::npos) folder = executablePath.substr(0, separator);

  const std::string_view fileName = kLogFileName;
  if (folder.size() + fileName.size() + 1 > logPath.size()) return false;

  std::copy(folder.begin(), folder.end(), logPath.begin());
  std::copy(fileName.begin(), fileName.end(), logPath.begin() + folder.size());
  return true;
}

}  // namespace morvanix
