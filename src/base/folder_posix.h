#pragma once

#include <string>
#include <vector>

namespace morvanix {

// The names in a folder ("." and ".." included), none when it cannot be read.
std::vector<std::string> FolderEntries(const std::string& folder);
// Where a symbolic link points; empty when path is no link, cannot be read or points
// further than a path may be long.
std::string LinkTarget(const std::string& path);

}  // namespace morvanix
